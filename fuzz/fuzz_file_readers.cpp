// The picture files the file library reads when it converts a file or
// combines files into one, recognised by their content whatever the file is
// called.  The reader is compiled into this target from the library's
// sources (it is not exported).
//
// Two targets share this source: fuzz_file_readers takes the raster
// formats (JPEG, PNG, BMP, TIFF) and fuzz_pdf_reader the PDFs
// (FUZZ_PDF_READER).  A PDF costs tens of milliseconds in poppler before
// our code sees a pixel, so in one target the PDFs would take nearly all
// the time; split, each target spends its inputs on its own format.  Each
// skips the inputs of the other at once, so the fuzzer keeps none of them.
#include "codecs.h"
#include "harness.h"

#include <cstdlib>
#include <cstring>

#ifdef FUZZ_PDF_READER
#include <poppler.h>
#endif

namespace {

std::string path;

#ifdef FUZZ_PDF_READER
PopplerDocument *kept;  // see LLVMFuzzerInitialize

// Pages are drawn at a low resolution: poppler parses and renders the same
// objects at any resolution, the drawing only costs time.  The page size
// checks still see every size a MediaBox can give.
constexpr int kDpi = 9;
constexpr bool kPdf = true;
#else
constexpr int kDpi = 200;
constexpr bool kPdf = false;
#endif

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    path = fuzz::scratchDir() + "/picture";
#ifdef FUZZ_PDF_READER
    // poppler sets up its global tables (thousands of glyph names) when
    // the first document opens and drops them when the last one closes:
    // once per input here, most of an input's time.  One document kept
    // open for the whole run keeps them.
    static const char kPage[] =
        "%PDF-1.1\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
        "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
        "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 3 3]>>endobj\n"
        "trailer<</Root 1 0 R>>\n%%EOF\n";
    GBytes *bytes = g_bytes_new_static(kPage, sizeof kPage - 1);
    kept = poppler_document_new_from_bytes(bytes, nullptr, nullptr);
    g_bytes_unref(bytes);
    if (!kept)
        abort();
#endif
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const bool isPdf = size >= 5 && std::memcmp(data, "%PDF-", 5) == 0;
    if (isPdf != kPdf)
        return -1;  // the other target's input: not added to this corpus
    fuzz::writeFile(path, data, size);
    zarnfile::Picture picture;
    if (zarnfile::readPicture(path, picture, kDpi, kDpi)) {
        // What a reader gives is a whole picture of the size it says.
        const std::size_t expected =
            static_cast<std::size_t>(picture.width) * picture.height * static_cast<std::size_t>(picture.channels);
        if (picture.width <= 0 || picture.height <= 0 || (picture.channels != 1 && picture.channels != 3) ||
            picture.pixels.size() != expected)
            abort();
    }
    return 0;
}
