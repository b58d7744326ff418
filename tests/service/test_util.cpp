// The service's log facility, settings store and file helpers against the
// real file system, in a private temporary directory.
#include "Log.h"
#include "backupsetting.h"
#include "general.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> readLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

std::string programName()
{
    char buf[1024] = {};
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    std::string p(buf, n > 0 ? n : 0);
    return p.substr(p.rfind('/') + 1);
}

// Today's file name, built independently of the code under test.
std::string todaysFile(const std::string &home, const std::string &name)
{
    time_t t = time(nullptr);
    struct tm lt;
    localtime_r(&t, &lt);
    return home + "/.ZARN/" + programName() + "/Log/" + name + "-" + std::to_string(lt.tm_year + 1900) + "_" +
           std::to_string(lt.tm_mon + 1) + "_" + std::to_string(lt.tm_mday) + ".log";
}

// Each test runs with HOME and the working directory in a fresh temporary
// directory, and puts both back afterwards.
class TempHome : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_home = m_dir.path().toStdString();
        const char *old = getenv("HOME");
        m_hadHome = old != nullptr;
        if (old)
            m_oldHome = old;
        setenv("HOME", m_home.c_str(), 1);
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
        m_oldCwd = cwd;
        ASSERT_EQ(chdir(m_home.c_str()), 0);
    }
    void TearDown() override
    {
        if (m_hadHome)
            setenv("HOME", m_oldHome.c_str(), 1);
        else
            unsetenv("HOME");
        ASSERT_EQ(chdir(m_oldCwd.c_str()), 0);
    }
    void writeConfig(const std::string &xml)
    {
        std::ofstream(m_home + "/logmgr.xml") << xml;
    }

    QTemporaryDir m_dir;
    std::string m_home;
    std::string m_oldHome;
    bool m_hadHome = false;
    std::string m_oldCwd;
};

using LogTest = TempHome;
using GeneralTest = TempHome;
using SettingsTest = TempHome;

const std::regex kLine(R"(^\d{2}:\d{2}:\d{2}:\d{3}\t (.*)$)");

}  // namespace

TEST_F(LogTest, WithoutConfigurationOnlyUnfilteredWritesLand)
{
    CLog log("unit");
    EXPECT_EQ(log.logMask(), 0);
    for (int bit : {LOG_ERROR, LOG_FLOW, LOG_SPEED, LOG_PEMRX, LOG_DEBUG})
        log.Add(bit, "filtered %d", bit);
    EXPECT_FALSE(exists(todaysFile(m_home, "unit")));

    log.Add("unit", "named %s", "line");
    log.Add("default %d", 7);
    std::vector<std::string> lines = readLines(todaysFile(m_home, "unit"));
    ASSERT_EQ(lines.size(), 2u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, kLine)) << lines[0];
    EXPECT_EQ(m[1], "named line");
    ASSERT_TRUE(std::regex_match(lines[1], m, kLine)) << lines[1];
    EXPECT_EQ(m[1], "default 7");
}

TEST_F(LogTest, ConfigurationSwitchesOnlyCategoriesEnabledWithOne)
{
    writeConfig("<?xml version=\"1.0\"?>\n<logmgr>\n"
                "  <a enable=\"1\">LOG_FLOW</a>\n"
                "  <b enable=\"2\">LOG_DEBUG</b>\n"
                "  <c>LOG_ERROR</c>\n"
                "  <d enable=\"yes\">LOG_SPEED</d>\n"
                "  <e enable=\"1\"/>\n"
                "  <f enable=\"1\"><g>LOG_ERROR</g></f>\n"
                "  <h enable=\"1\">LOG_OTHER</h>\n"
                "  <i enable=\"1\">LOG_PEMRX</i>\n"
                "</logmgr>\n");
    CLog log("cat");
    EXPECT_EQ(log.logMask(), LOG_FLOW | LOG_PEMRX);

    log.Add(LOG_ERROR, "error line");
    log.Add(LOG_FLOW, "flow line");
    log.Add(LOG_DEBUG | LOG_PEMRX, "mixed line");
    log.Add(LOG_DEBUG, "debug line");
    std::vector<std::string> lines = readLines(todaysFile(m_home, "cat"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\t flow line"), std::string::npos);
    EXPECT_NE(lines[1].find("\t mixed line"), std::string::npos);
}

TEST_F(LogTest, FilteredMessageWithPercentIsWrittenUnchanged)
{
    CLog all(0);
    EXPECT_EQ(all.logMask(), 31);
    writeConfig("<r><x enable=\"1\">LOG_ERROR</x></r>");
    CLog configured("pct");
    configured.Add(LOG_ERROR, "%s", "100% done %d %s %n");
    std::vector<std::string> lines = readLines(todaysFile(m_home, "pct"));
    ASSERT_EQ(lines.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, kLine));
    EXPECT_EQ(m[1], "100% done %d %s %n");
}

TEST_F(LogTest, LongMessagesAreCutAndLongHomeDoesNotOverflow)
{
    // A home path far longer than the fixed command buffer of 512 bytes.
    std::string deep = m_home;
    for (char c : {'a', 'b', 'c'})
        deep += "/" + std::string(200, c);
    ASSERT_EQ(general::Zarn_Config_Mkdir(deep.c_str(), 0), 0);
    setenv("HOME", deep.c_str(), 1);

    CLog log("long");
    // Two strings select Add(name, fmt, ...): the log name comes first.
    log.Add("long", "%s", std::string(5000, 'x').c_str());
    std::vector<std::string> lines = readLines(todaysFile(deep, "long"));
    ASSERT_EQ(lines.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, kLine));
    EXPECT_EQ(m[1].length(), 2999u);
}

TEST_F(LogTest, UnsetHomeDropsTheLine)
{
    unsetenv("HOME");
    CLog log("nohome");
    log.Add("nowhere");
    EXPECT_EQ(CLog::logDirectory(), "");
    EXPECT_FALSE(exists(m_home + "/.ZARN"));
}

TEST_F(LogTest, ConcurrentWritersProduceWholeLines)
{
    CLog log("mt");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 100; ++i)
                log.Add("writer %d line %d %s", t, i, std::string(100, 'a' + t).c_str());
        });
    }
    for (std::thread &th : threads)
        th.join();
    std::vector<std::string> lines = readLines(todaysFile(m_home, "mt"));
    ASSERT_EQ(lines.size(), 400u);
    const std::regex body(R"(^writer (\d) line (\d+) ([a-d]{100})$)");
    int perWriter[4] = {};
    for (const std::string &line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
        std::string text = m[1];
        std::smatch b;
        ASSERT_TRUE(std::regex_match(text, b, body)) << text;
        int t = std::stoi(b[1]);
        EXPECT_EQ(b[3], std::string(100, 'a' + t));
        ++perWriter[t];
    }
    for (int count : perWriter)
        EXPECT_EQ(count, 100);
}

TEST_F(LogTest, TimersRejectDuplicateIdsAndForgetAfterDuration)
{
    CLog log("timer");
    EXPECT_EQ(log.StarTimer(5), 0);
    EXPECT_EQ(log.StarTimer(5), -1);
    std::string text = readFile(todaysFile(m_home, "timer"));
    EXPECT_NE(text.find("此ID已经被使用：5"), std::string::npos);

    EXPECT_EQ(log.StarTimer(6), 0);
    double kept = log.Duration_not_erase(6);
    EXPECT_GE(kept, 0.0);
    EXPECT_GE(log.Duration_not_erase(6), kept);
    log.Erase_a_timer(6);
    EXPECT_EQ(log.Duration_not_erase(6), 0.0);

    double d = log.Duration(5);
    EXPECT_GE(d, 0.0);
    EXPECT_LT(d, 3600.0);
    EXPECT_EQ(log.Duration(5), 0.0);
    EXPECT_EQ(log.StarTimer(5), 0);
}

TEST_F(LogTest, ProgramFileNameIsTheExecutable)
{
    char name[64];
    memset(name, 'z', sizeof(name));
    ASSERT_EQ(CLog::LinuxGetModuleFileName(name, sizeof(name)), 0);
    EXPECT_EQ(std::string(name), programName());
}

TEST_F(GeneralTest, TempPathIsCreatedUnderHome)
{
    char buf[4096];
    int n = general::Zarn_Config_GetTempPath(sizeof(buf), buf);
    std::string expected = m_home + "/.config/velmora/kobix-base/";
    EXPECT_EQ(std::string(buf), expected);
    EXPECT_EQ(n, static_cast<int>(expected.size()) + 1);
    struct stat st;
    ASSERT_EQ(stat(expected.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0777u);

    char small[8];
    EXPECT_EQ(general::Zarn_Config_GetTempPath(sizeof(small), small), -1);
    unsetenv("HOME");
    EXPECT_EQ(general::Zarn_Config_GetTempPath(sizeof(buf), buf), -1);
    setenv("HOME", std::string(5000, 'h').c_str(), 1);
    EXPECT_EQ(general::Zarn_Config_GetTempPath(sizeof(buf), buf), -1);
}

TEST_F(GeneralTest, MkdirTakesShellCharactersLiterally)
{
    std::string odd = m_home + "/a b/$(touch pwned);touch pwned2/'q\"/x";
    ASSERT_EQ(general::Zarn_Config_Mkdir(odd.c_str(), 0), 0);
    EXPECT_EQ(general::Zarn_Config_Is_Exit_Dir(odd.c_str()), 0);
    EXPECT_FALSE(exists(m_home + "/pwned"));
    EXPECT_FALSE(exists(m_home + "/pwned2"));
    EXPECT_FALSE(exists("pwned"));

    // Existing directory, doubled and trailing slashes.
    std::string slashy = m_home + "//p//q/";
    EXPECT_EQ(general::Zarn_Config_Mkdir(slashy.c_str(), 0), 0);
    EXPECT_EQ(general::Zarn_Config_Mkdir(slashy.c_str(), 0), 0);
    EXPECT_EQ(general::Zarn_Config_Is_Exit_Dir((m_home + "/p/q").c_str()), 0);
}

TEST_F(GeneralTest, MkdirModeIsExactAndFailuresAreReported)
{
    mode_t old = umask(077);
    std::string dir = m_home + "/m1/m2";
    EXPECT_EQ(general::Zarn_Config_Mkdir(dir.c_str(), 755), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    std::string file = m_home + "/plain";
    std::ofstream(file) << "x";
    EXPECT_EQ(general::Zarn_Config_Mkdir(file.c_str(), 0), -1);
    EXPECT_EQ(general::Zarn_Config_Mkdir((file + "/under").c_str(), 0), -1);
    EXPECT_EQ(general::Zarn_Config_Mkdir(nullptr, 0), -1);
    EXPECT_EQ(general::Zarn_Config_Mkdir((m_home + "/bad").c_str(), 789), -1);
}

TEST_F(GeneralTest, FileTests)
{
    std::string file = m_home + "/f";
    EXPECT_EQ(general::Zarn_Config_Is_Exit_File(nullptr), -1);
    EXPECT_EQ(general::Zarn_Config_Is_Exit_Dir(nullptr), -1);
    EXPECT_EQ(general::Zarn_Config_Is_Exit_File(file.c_str()), -1);
    EXPECT_EQ(general::Zarn_Config_Readable(file.c_str()), -1);
    EXPECT_EQ(general::Zarn_Config_Writable(file.c_str()), -1);
    std::ofstream(file) << "content\n";
    EXPECT_EQ(general::Zarn_Config_Is_Exit_File(file.c_str()), 0);
    EXPECT_EQ(general::Zarn_Config_Is_Exit_Dir(file.c_str()), -1);
    EXPECT_EQ(general::Zarn_Config_Is_Exit_Dir(m_home.c_str()), 0);

    ASSERT_EQ(chmod(file.c_str(), 0400), 0);
    EXPECT_EQ(general::Zarn_Config_Readable(file.c_str()), 0);
    EXPECT_EQ(general::Zarn_Config_Writable(file.c_str()), -1);
    ASSERT_EQ(chmod(file.c_str(), 0200), 0);
    EXPECT_EQ(general::Zarn_Config_Readable(file.c_str()), -1);
    EXPECT_EQ(general::Zarn_Config_Writable(file.c_str()), 0);
    ASSERT_EQ(chmod(file.c_str(), 0644), 0);

    std::string copy = m_home + "/g";
    EXPECT_EQ(general::Zarn_Config_Copy_File(file.c_str(), copy.c_str()), 0);
    EXPECT_EQ(readFile(copy), "content\n");
    EXPECT_EQ(general::Zarn_Config_Copy_File((m_home + "/missing").c_str(), copy.c_str()), -1);
    EXPECT_EQ(general::Zarn_Config_Copy_File(nullptr, copy.c_str()), -1);

    EXPECT_EQ(general::Zarn_Config_Remove_File(copy.c_str()), 0);
    EXPECT_EQ(general::Zarn_Config_Is_Exit_File(copy.c_str()), -1);
    EXPECT_EQ(general::Zarn_Config_Remove_File(copy.c_str()), -1);
}

TEST_F(SettingsTest, GroupedReadsOfAModelFile)
{
    std::string path = m_home + "/abc*120.ini";
    std::ofstream(path) << "[device]\nres=1280*720\n\n[file]\nquality=80\nmultpage=true\npath=/srv/photos\n"
                           "\n[image]\ncolor=2\n";
    backupSetting s(QString::fromStdString(path));
    EXPECT_EQ(s.path(), QString::fromStdString(path));
    EXPECT_EQ(s.value("device", "res", "").toString(), "1280*720");
    EXPECT_EQ(s.value("file", "quality", 95).toInt(), 80);
    EXPECT_TRUE(s.value("file", "multpage", false).toBool());
    EXPECT_EQ(s.value("file", "path", "").toString(), "/srv/photos");
    EXPECT_EQ(s.value("image", "color", 0).toInt(), 2);
    // Keys are looked up inside their group only.
    EXPECT_EQ(s.value("image", "quality", 95).toInt(), 95);
    EXPECT_EQ(s.value("image", "rotate", QString::fromUtf8("无")).toString(), QString::fromUtf8("无"));
    EXPECT_TRUE(s.isContain("device", "res"));
    EXPECT_FALSE(s.isContain("file", "res"));
}

TEST_F(SettingsTest, MissingFileGivesDefaultsAndCreatesNothing)
{
    std::string path = m_home + "/none.ini";
    {
        backupSetting s(QString::fromStdString(path));
        EXPECT_EQ(s.value("file", "quality", 95).toInt(), 95);
        EXPECT_FALSE(s.isContain("file", "quality"));
    }
    EXPECT_FALSE(exists(path));
}

TEST_F(SettingsTest, WritesLandInSections)
{
    std::string path = m_home + "/w.ini";
    {
        backupSetting s(QString::fromStdString(path));
        s.setValue("device", "res", "1920*1080");
        s.setValue("file", "quality", 90);
        s.setValue("file", "gone", 1);
        s.remove("file", "gone");
        s.sync();
        EXPECT_EQ(s.value("device", "res", "").toString(), "1920*1080");
    }
    std::string text = readFile(path);
    EXPECT_NE(text.find("[device]\nres=1920*1080\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[file]\nquality=90\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("gone"), std::string::npos) << text;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
