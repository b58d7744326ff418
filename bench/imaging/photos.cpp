#include "photos.h"

#include <turbojpeg.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

std::vector<LabelledPhoto> readLabels(const std::string &folder)
{
    std::vector<LabelledPhoto> photos;
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return photos;
    std::vector<std::string> csvs;
    while (dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.rfind("labels", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".csv") == 0)
            csvs.push_back(name);
    }
    closedir(dir);
    for (const std::string &csv : csvs) {
        std::ifstream in(folder + "/" + csv);
        std::string line;
        std::getline(in, line); // header
        while (std::getline(in, line)) {
            std::stringstream row(line);
            std::string field;
            LabelledPhoto p{};
            if (!std::getline(row, p.file, ','))
                continue;
            bool ok = true;
            for (int i = 0; i < 8 && ok; ++i) {
                ok = static_cast<bool>(std::getline(row, field, ','));
                if (ok)
                    p.corner[i / 2][i % 2] = std::atof(field.c_str());
            }
            if (ok && !p.file.empty())
                photos.push_back(p);
        }
    }
    std::sort(photos.begin(), photos.end(),
              [](const LabelledPhoto &a, const LabelledPhoto &b) { return a.file < b.file; });
    return photos;
}

std::vector<std::uint8_t> decodePhoto(const std::string &path, int &width, int &height)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> jpeg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::uint8_t> rgb;
    tjhandle tj = tjInitDecompress();
    int subsamp = 0, colourspace = 0;
    if (tj && !jpeg.empty() &&
        tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &width, &height, &subsamp, &colourspace) == 0) {
        rgb.resize(static_cast<std::size_t>(width) * height * 3);
        if (tjDecompress2(tj, jpeg.data(), jpeg.size(), rgb.data(), width, 0, height, TJPF_RGB, 0) != 0)
            rgb.clear();
    }
    if (tj)
        tjDestroy(tj);
    return rgb;
}
