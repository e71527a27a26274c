#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/quillon-files-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string path;
};

std::string Slurp(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(SharedFile, CreatedForEveryUserWhateverTheUmaskAndOnlyOnce) {
    TempDir d;
    const std::string p = d.path + "/log";
    mode_t old = umask(077);
    EXPECT_TRUE(platform::CreateSharedFile(p));
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    ASSERT_TRUE(platform::AppendBytes(p, "abc", 3));
    int err = 0;
    EXPECT_FALSE(platform::CreateSharedFile(p, &err));
    EXPECT_EQ(err, EEXIST);
    EXPECT_EQ(Slurp(p), "abc");
}

TEST(SharedFile, PlantedLinkIsNeitherFollowedNorWrittenThrough) {
    TempDir d;
    const std::string target = d.path + "/target";
    const std::string link = d.path + "/log";
    { std::ofstream(target) << "keep"; }
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_FALSE(platform::CreateSharedFile(link));
    EXPECT_EQ(platform::ProbeReadable(link), platform::ReadProbe::Unreadable);
    EXPECT_FALSE(platform::AppendBytes(link, "evil", 4));
    EXPECT_EQ(Slurp(target), "keep");
}

TEST(SharedFile, AppendToAMissingFileCreatesItForEveryUser) {
    TempDir d;
    const std::string p = d.path + "/log";
    mode_t old = umask(077);
    EXPECT_TRUE(platform::AppendBytes(p, "x\n", 2));
    umask(old);
    struct stat st {};
    ASSERT_EQ(lstat(p.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_EQ(Slurp(p), "x\n");
    // A folder that is not there is still a failure.
    int err = 0;
    EXPECT_FALSE(platform::AppendBytes(d.path + "/no/log", "x", 1, &err));
    EXPECT_EQ(err, ENOENT);
}

TEST(SharedFile, AppendsAndProbes) {
    TempDir d;
    const std::string p = d.path + "/f";
    EXPECT_EQ(platform::ProbeReadable(p), platform::ReadProbe::Missing);
    EXPECT_TRUE(platform::CreateForWriting(p));
    EXPECT_EQ(platform::ProbeReadable(p), platform::ReadProbe::Readable);
    EXPECT_TRUE(platform::AppendBytes(p, "one\n", 4));
    EXPECT_TRUE(platform::AppendBytes(p, "two\n", 4));
    EXPECT_EQ(Slurp(p), "one\ntwo\n");
}

TEST(SharedFile, DeviceNodeIsNoLog) {
    // Nothing is written to a device, and nothing waits for one.
    int err = 0;
    EXPECT_FALSE(platform::AppendBytes("/dev/null", "x\n", 2, &err));
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(platform::ProbeReadable("/dev/null", &err), platform::ReadProbe::Unreadable);
    EXPECT_EQ(err, EINVAL);
    EXPECT_FALSE(platform::CreateForWriting("/dev/null", &err));
    EXPECT_EQ(err, EINVAL);
}

}  // namespace
