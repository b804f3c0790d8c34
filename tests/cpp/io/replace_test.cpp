#include "io/replace.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vexlo {
namespace {

namespace fs = std::filesystem;

struct TempDir {
    fs::path path;
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "vexlo_replace_XXXXXX").string();
        path = ::mkdtemp(tmpl.data());
    }
    ~TempDir() { fs::remove_all(path); }
};

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void put(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

Result<void> write_text(ReplacingFile& f, const std::string& text) {
    BufWriter out = f.writer();
    VEXLO_TRY(out.write(as_bytes(text)));
    return out.flush();
}

TEST(ReplaceTest, TempSiblingNames) {
    struct Case {
        const char* target;
        long pid;
        unsigned long nanos;
        const char* name;
    };
    const Case cases[] = {
        {"/data/img.fits", 77, 255, "/data/img.fits.vexlo-tmp.77.000000ff"},
        {"img.fits", 1, 999999999, "./img.fits.vexlo-tmp.1.3b9ac9ff"},
        {"/x", 5, 0, "/x.vexlo-tmp.5.00000000"},
        {"dir/", 5, 16, "dir/vexlo-out.vexlo-tmp.5.00000010"},
        {"a/..", 5, 16, "a/vexlo-out.vexlo-tmp.5.00000010"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(temp_sibling_name(c.target, c.pid, c.nanos), c.name) << c.target;
    }
}

// Whether or not the replacement waits for the disk, the old file stays whole until the rename.
constexpr Durability kDurabilities[] = {Durability::Unforced, Durability::Synced};

TEST(ReplaceTest, CommitReplacesAndDiscardLeavesTheOldFile) {
    for (const Durability durability : kDurabilities) {
        SCOPED_TRACE(durability == Durability::Synced ? "synced" : "unforced");
        TempDir dir;
        const fs::path target = dir.path / "t.fits";
        put(target, "old");
        ::chmod(target.c_str(), 0600);
        {
            auto f = ReplacingFile::create(target, true, durability);
            ASSERT_TRUE(f.has_value());
            ASSERT_TRUE(write_text(*f, "half").has_value());
            EXPECT_EQ(slurp(target), "old");
            // Dropped without a commit: the temporary file goes, the target stays.
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
        EXPECT_EQ(slurp(target), "old");

        auto f = ReplacingFile::create(target, true, durability);
        ASSERT_TRUE(f.has_value());
        ASSERT_TRUE(write_text(*f, "new").has_value());
        ASSERT_TRUE(f->commit().has_value());
        EXPECT_EQ(slurp(target), "new");
        EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
    }
}

TEST(ReplaceTest, WithoutOverwriteAnExistingFileIsNeverReplaced) {
    for (const Durability durability : kDurabilities) {
        SCOPED_TRACE(durability == Durability::Synced ? "synced" : "unforced");
        TempDir dir;
        const fs::path target = dir.path / "t.fits";
        put(target, "old");
        auto refused = ReplacingFile::create(target, false, durability);
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(refused.error().message(), Error::io_errno(EEXIST).message());

        // A file that appears between the check and the commit is not replaced either.
        const fs::path fresh = dir.path / "fresh.fits";
        auto f = ReplacingFile::create(fresh, false, durability);
        ASSERT_TRUE(f.has_value());
        ASSERT_TRUE(write_text(*f, "mine").has_value());
        put(fresh, "theirs");
        auto committed = f->commit();
        ASSERT_FALSE(committed.has_value());
        EXPECT_EQ(committed.error().message(), Error::io_errno(EEXIST).message());
        EXPECT_EQ(slurp(fresh), "theirs");
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2);
    }
}

TEST(ReplaceTest, RefusalsComeBeforeAnyFileIsMade) {
    TempDir dir;
    const struct {
        fs::path target;
        int err;
    } cases[] = {
        {dir.path / "missing" / "x.fits", ENOENT},
        {dir.path, EISDIR},
    };
    for (const auto& c : cases) {
        auto f = ReplacingFile::create(c.target, true, Durability::Synced);
        ASSERT_FALSE(f.has_value()) << c.target;
        EXPECT_EQ(f.error().message(), Error::io_errno(c.err).message()) << c.target;
    }
    EXPECT_TRUE(fs::is_empty(dir.path));
}

// What stands at a path, seen through a link or not; nothing there is no error, a path that
// runs through a regular file is.
TEST(ReplaceTest, PathNodesAndTheirKinds) {
    TempDir dir;
    const fs::path file = dir.path / "f";
    put(file, "x");
    ::chmod(file.c_str(), 0640);
    fs::create_symlink(file, dir.path / "link");
    fs::create_symlink(dir.path / "gone", dir.path / "dangling");
    const auto kind_of = [](const fs::path& p, bool follow) -> std::string {
        const Result<std::optional<PathNode>> found = path_node(p, follow);
        if (!found) return found.error().message();
        if (!*found) return "none";
        switch ((*found)->kind) {
            case NodeKind::Regular:
                return "regular " + std::to_string((*found)->permissions);
            case NodeKind::Directory:
                return "directory";
            case NodeKind::SymbolicLink:
                return "link";
            case NodeKind::Other:
                return "other";
        }
        return "?";
    };
    EXPECT_EQ(kind_of(file, false), "regular " + std::to_string(0640));
    EXPECT_EQ(kind_of(dir.path / "link", true), "regular " + std::to_string(0640));
    EXPECT_EQ(kind_of(dir.path / "link", false), "link");
    EXPECT_EQ(kind_of(dir.path / "dangling", false), "link");
    EXPECT_EQ(kind_of(dir.path / "dangling", true), "none");
    EXPECT_EQ(kind_of(dir.path / "missing", false), "none");
    EXPECT_EQ(kind_of(dir.path, true), "directory");
    EXPECT_EQ(kind_of("/dev/null", true), "other");
    EXPECT_EQ(kind_of(file / "below", true), Error::io_errno(ENOTDIR).message());
    EXPECT_TRUE(path_exists(dir.path / "link"));
    EXPECT_FALSE(path_exists(dir.path / "dangling"));
    EXPECT_FALSE(path_exists(file / "below"));
}

// A link is followed, so the link stays and its destination is replaced keeping its permission
// bits; a dangling link is replaced itself.
TEST(ReplaceTest, LinksAreFollowedAndDanglingOnesReplaced) {
    TempDir dir;
    const fs::path file = dir.path / "f";
    put(file, "old");
    ::chmod(file.c_str(), 0640);
    const fs::path link = dir.path / "link";
    fs::create_symlink(file, link);
    const fs::path dangling = dir.path / "dangling";
    fs::create_symlink(dir.path / "gone", dangling);
    for (const fs::path& target : {link, dangling}) {
        auto f = ReplacingFile::create(target, true, Durability::Unforced);
        ASSERT_TRUE(f.has_value()) << target;
        ASSERT_TRUE(write_text(*f, "new").has_value());
        ASSERT_TRUE(f->commit().has_value());
    }
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(slurp(file), "new");
    EXPECT_EQ(fs::status(file).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_FALSE(fs::is_symlink(dangling));
    EXPECT_EQ(slurp(dangling), "new");
    EXPECT_FALSE(fs::exists(dir.path / "gone"));
}

}  // namespace
}  // namespace vexlo
