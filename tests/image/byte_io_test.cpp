#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "image/byte_io.h"
#include "test_util.h"

namespace stelp {
namespace {

namespace fs = std::filesystem;

TEST(FileOutputTest, ReplacesOnlyWithACompleteRegularFileAndTwoWritersNeverMix) {
  const std::string kNew(5000, 'n');
  enum class End { Close, CloseOverSizeLimit, Drop };
  using Make = std::function<void(const std::string& folder)>;
  const Make old = [](const std::string& f) { test::writeText(f + "/out", "old"); };
  auto linkTo = [](std::string to) -> Make {
    return [to](const std::string& f) { fs::create_symlink(to, f + "/out"); };
  };
  // What "out" is before (made in the case's own folder) and how the writer ends; then why it is refused (empty:
  // written), the text read through "out" (nullptr: the new text when written, else not read) and where it links to.
  using enum End;
  const struct { const char* name; Make make; End end; const char* reason; const char* after = nullptr;
                 const char* linkTo = nullptr; } cases[] = {
      {"new file", [](const std::string&) {}, Close, ""}, {"replaced file", old, Close, ""},
      {"write past the size limit", old, CloseOverSizeLimit, "write failed", "old"},
      {"writer dropped before close", old, Drop, "", "old"},
      {"link to a file", [](const std::string& f) {
         fs::create_directory(f + "/sub");
         test::writeText(f + "/sub/target", "old");
         fs::create_symlink("sub/target", f + "/out");
       }, Close, "", nullptr, "sub/target"},
      {"link to a file not made yet", linkTo("later"), Close, "", nullptr, "later"},
      {"link to a FIFO",
       [](const std::string& f) { ::mkfifo((f + "/fifo").c_str(), 0666); fs::create_symlink("fifo", f + "/out"); },
       Close, "not a regular file", nullptr, "fifo"},
      {"FIFO", [](const std::string& f) { ::mkfifo((f + "/out").c_str(), 0666); }, Close, "not a regular file"},
      {"folder", [](const std::string& f) { fs::create_directory(f + "/out"); }, Close, "not a regular file"},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = dir.file(std::to_string(&c - cases));
    fs::create_directory(folder);
    c.make(folder);
    const std::string out = folder + "/out";
    const fs::file_type typeBefore = fs::status(out).type();
    // A reader holds any FIFO open, so a writer that wrongly opens it fails this test instead of hanging it.
    const int reader = ::open(out.c_str(), O_RDONLY | O_NONBLOCK);
    std::string why;
    // A failed write is remembered and reported by close.
    auto write = [&] {
      FileOutput file;
      return file.create(out, &why) && (file.write(kNew.data(), 1000), file.write(kNew.data() + 1000, 4000),
                                        c.end == End::Drop || file.close(&why));
    };
    const bool ok = c.end == End::CloseOverSizeLimit ? test::underFileSizeLimit(4096, write) : write();
    if (reader >= 0) ::close(reader);

    EXPECT_EQ(ok, !*c.reason) << why;
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    if (c.after || ok) {
      EXPECT_EQ(test::readText(out), c.after ? c.after : kNew);
    } else {
      EXPECT_EQ(fs::status(out).type(), typeBefore) << "left as it was";
    }
    if (c.linkTo) { EXPECT_EQ(fs::read_symlink(out), c.linkTo) << "the link stays a link"; }
    EXPECT_FALSE(std::ranges::any_of(fs::directory_iterator(folder), [](const fs::directory_entry& e) {
      return e.path().filename().string().front() == '.';  // a temporary left behind
    }));
  }

  // A new file gets the permissions any new file would; a replaced one keeps its own.
  const mode_t mask = ::umask(022);
  ::umask(mask);
  EXPECT_EQ(fs::status(dir.file("0/out")).permissions(), static_cast<fs::perms>(0666 & ~mask));
  ASSERT_EQ(::chmod(dir.file("1/out").c_str(), 0604), 0);
  FileOutput again;
  ASSERT_TRUE(again.create(dir.file("1/out"), nullptr) && again.close(nullptr));
  EXPECT_EQ(fs::status(dir.file("1/out")).permissions(), static_cast<fs::perms>(0604));

  // Two writers of one name, written turn about: each close puts its own file in place, whole.
  const std::string out = dir.file("out");
  FileOutput a, b;
  ASSERT_TRUE(a.create(out, nullptr) && b.create(out, nullptr));
  EXPECT_TRUE(a.write("aa", 2) && b.write("bbb", 3) && a.write("AA", 2));
  ASSERT_TRUE(b.close(nullptr));
  EXPECT_EQ(test::readText(out), "bbb");
  ASSERT_TRUE(a.close(nullptr));
  EXPECT_EQ(test::readText(out), "aaAA");

  fs::create_directory(dir.file("gone"));
  ASSERT_TRUE(a.create(dir.file("gone/out"), nullptr) && a.write("a", 1));
  fs::remove_all(dir.file("gone"));
  EXPECT_FALSE(a.close(nullptr));
}

}  // namespace
}  // namespace stelp
