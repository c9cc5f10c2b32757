#include <gtest/gtest.h>

#include <cstdlib>

#include "tempdir.h"
#include "util/folders.h"
#include "util/qvfile.h"

namespace
{

void SetEnvVar(const char* name, const char* value)
{
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

// Points APPDATA somewhere else for one test and puts it back afterwards.
class AppDataScope
{
  public:
    explicit AppDataScope(const std::string& value)
    {
        const char* old = getenv("APPDATA");
        m_bHad = old != nullptr;
        if (old) m_strOld = old;
        SetEnvVar("APPDATA", value.c_str());
    }
    ~AppDataScope() { SetEnvVar("APPDATA", m_bHad ? m_strOld.c_str() : nullptr); }

  private:
    bool m_bHad;
    std::string m_strOld;
};

std::string CreateAndCapture(const std::string& path, bool* result)
{
    testing::internal::CaptureStdout();
    *result = CreateFolder(path);
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(Folders, BuildVersionForms)
{
    EXPECT_EQ(GetBuildVersion(true), "8.6 Build 522.0 Rel");
    EXPECT_EQ(GetBuildVersion(false), "8_6_522_0");
}

TEST(Folders, CreateFolderReportsEachOutcome)
{
    TempDir tmp;
    bool ok = false;
    EXPECT_EQ(CreateAndCapture(tmp.Q("new"), &ok), "Path created: " + tmp.Q("new") + "\n");
    EXPECT_TRUE(ok);
    EXPECT_TRUE(fs::is_directory(tmp.N("new")));

    EXPECT_EQ(CreateAndCapture(tmp.Q("new"), &ok), "Path already exists\n");
    EXPECT_TRUE(ok);

    EXPECT_EQ(CreateAndCapture(tmp.Q("no/parent"), &ok), "Path not found\n");
    EXPECT_FALSE(ok);
    EXPECT_FALSE(fs::exists(tmp.N("no")));

    // A file in the way is not a folder, whatever the system calls the clash.
    WriteAll(tmp.N("plain"), "x");
    EXPECT_EQ(CreateAndCapture(tmp.Q("plain"), &ok), "Path already exists\n");
    EXPECT_FALSE(ok);

#ifndef _WIN32
    std::string out = CreateAndCapture(tmp.Q(std::string(300, 'n')), &ok);
    EXPECT_EQ(out.rfind("Unhandled error: [", 0), 0u) << out;
    EXPECT_FALSE(ok);
#endif
}

TEST(Folders, ExistsOnlyForDirectories)
{
    TempDir tmp;
    WriteAll(tmp.N("f"), "x");
    EXPECT_TRUE(FolderExists(tmp.Dir()));
    EXPECT_FALSE(FolderExists(tmp.Q("f")));
    EXPECT_FALSE(FolderExists(tmp.Q("missing")));
}

TEST(Folders, ExecutableFolderHoldsTheExecutable)
{
    std::string exe = GetExecutablePath();
    std::string dir = GetExecutableFolder();
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(FolderExists(dir));
    EXPECT_TRUE(FileExists(exe));
    ASSERT_GT(exe.size(), dir.size() + 1);
    EXPECT_EQ(exe.compare(0, dir.size(), dir), 0);
    char sep = exe[dir.size()];
    EXPECT_TRUE(sep == '\\' || sep == '/');
    EXPECT_EQ(exe.find_first_of("\\/", dir.size() + 1), std::string::npos);
}

TEST(Folders, EnvironmentLookup)
{
    SetEnvVar("RERUDI_TEST_VALUE", "a b\\c");
    EXPECT_EQ(GetEnv("RERUDI_TEST_VALUE"), "a b\\c");
    SetEnvVar("RERUDI_TEST_VALUE", nullptr);
    EXPECT_EQ(GetEnv("RERUDI_TEST_VALUE"), "");
}

TEST(DataFolder, MadeLevelByLevelUnderAppData)
{
    TempDir tmp;
    AppDataScope scope(tmp.Dir());
    testing::internal::CaptureStdout();
    bool fell = true;
    std::string folder = GetDataFolder(&fell);
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(folder, tmp.Dir() + "\\OSKA Zizu Systems\\OSKA Rerudi");
    EXPECT_FALSE(fell);
    EXPECT_TRUE(fs::is_directory(tmp.N("OSKA Zizu Systems/OSKA Rerudi")));
    EXPECT_EQ(out, "Path created: " + tmp.Dir() + "\\OSKA Zizu Systems\n" + "Path created: " + folder + "\n");

    // Second time round nothing is created and nothing is printed.
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetDataFolder(), folder);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(DataFolder, TrailingSeparatorInAppDataIsNotDoubled)
{
    TempDir tmp;
    AppDataScope scope(tmp.Dir() + "\\");
    testing::internal::CaptureStdout();
    std::string folder = GetDataFolder();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(folder, tmp.Dir() + "\\OSKA Zizu Systems\\OSKA Rerudi");
}

TEST(DataFolder, FallsBackToExecutableFolderWhenItCannotBeMade)
{
    TempDir tmp;
    {
        // The company level is taken by a file.
        WriteAll(tmp.N("OSKA Zizu Systems"), "not a folder");
        AppDataScope scope(tmp.Dir());
        testing::internal::CaptureStdout();
        bool fell = false;
        EXPECT_EQ(GetDataFolder(&fell), GetExecutableFolder());
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(fell);
    }
    {
        AppDataScope scope(tmp.Q("missing"));
        testing::internal::CaptureStdout();
        bool fell = false;
        EXPECT_EQ(GetDataFolder(&fell), GetExecutableFolder());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Path not found\n");
        EXPECT_TRUE(fell);
        EXPECT_FALSE(fs::exists(tmp.N("missing")));
    }
}
