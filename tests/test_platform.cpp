// The platform layer behaves like the Windows services on both builds (and
// under Wine this is the one test of the Win32 side): transfers, positions
// and sizes, error codes, share modes and the read-only
// attribute, copies and the one-step replace, searches and CP932 names,
// text streams.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/overlay.h"
#include "platform/platform.h"
#include "platform/text_stream.h"
#include "tests/support/fault_plan.h"
#include "tests/support/test_files.h"

namespace {

using Spoil = FaultPlan::Spoil;
using plat::SeekOrigin;
constexpr uint32_t R = plat::kGenericRead, W = plat::kGenericWrite, SR = plat::kShareRead;

// The position after a seek, or ~0 when it failed.
uint64_t seekTo(plat::File& file, int64_t distance, SeekOrigin origin) {
  uint64_t position = 0;
  return file.seek(distance, origin, &position) ? position : ~0ull;
}

// (Positions and sizes beyond 4 GiB are shown with the loose files.)
TEST(PlatformFile, ReadsWritesSeeksAndSizes) {
  TempFolder folder;
  std::string path = folder / "file.bin";
  plat::File file;
  ASSERT_TRUE(file.open(path.c_str(), R | W, SR, plat::kCreateAlways));
  uint32_t moved = 0;
  ASSERT_TRUE(file.write("0123456789", 10, &moved));
  EXPECT_EQ(moved, 10u);
  EXPECT_TRUE(file.flush());
  uint64_t size = 0;
  EXPECT_TRUE(file.size(&size) && size == 10u);
  EXPECT_EQ(seekTo(file, -4, SeekOrigin::End), 6u);
  EXPECT_EQ(seekTo(file, 2, SeekOrigin::Current), 8u);
  EXPECT_EQ(seekTo(file, 3, SeekOrigin::Begin), 3u);
  char buffer[16] = {};
  ASSERT_TRUE(file.read(buffer, 16, &moved));
  EXPECT_EQ(std::string(buffer, moved), "3456789") << "a read at the end delivers what is there";
  ASSERT_TRUE(file.read(buffer, 4, &moved));
  EXPECT_EQ(moved, 0u);
  EXPECT_EQ(seekTo(file, -1, SeekOrigin::Begin), ~0ull);
  EXPECT_EQ(plat::lastError(), plat::kErrorNegativeSeek);
  // A whole read that ends early fails with its own code.
  ASSERT_TRUE(file.seek(8, SeekOrigin::Begin));
  EXPECT_TRUE(file.readExactly(buffer, 2));
  EXPECT_FALSE(file.readExactly(buffer, 1));
  EXPECT_EQ(plat::lastError(), plat::kErrorHandleEof);
  file.close();
  ASSERT_TRUE(file.open(path.c_str(), R | W, SR, plat::kCreateAlways));
  EXPECT_TRUE(file.size(&size) && size == 0u) << "CREATE_ALWAYS empties an existing file";
}

// A whole write that falls short goes on with the rest; one that moves
// nothing and says nothing fails as a write fault. A full disk, as the
// fault hook makes it on both sides: a write across the end of the free
// space returns short there, and the next one fails with the disk's code,
// which the whole write keeps; a write within the file goes through.
TEST(PlatformFile, ShortWritesAndAFullDisk) {
  TempFolder folder;
  std::string path = folder / "full.bin";
  ASSERT_TRUE(writeFile(path, "ABCDEFG"));
  // A plan spoils the files opened while it is in use.
  const auto opened = [&](uint64_t at) {
    plat::File file;
    EXPECT_TRUE(file.open(path.c_str(), W, SR, plat::kOpenExisting) && file.seek(static_cast<int64_t>(at), SeekOrigin::Begin));
    return file;
  };
  {
    FaultPlan half(FaultPlan::kWrites, 1, Spoil::Half);
    EXPECT_TRUE(opened(0).writeExactly("xy", 2));
  }
  {
    FaultPlan halves(FaultPlan::kWrites, 1, Spoil::Half, true);
    EXPECT_FALSE(opened(2).writeExactly("z", 1));
    EXPECT_EQ(plat::lastError(), plat::kErrorWriteFault);
  }
  FaultPlan full(FaultPlan::kGrowingWrites, 1, Spoil::DiskFull, true);
  EXPECT_FALSE(opened(4).writeExactly("012345", 6));
  EXPECT_EQ(plat::lastError(), plat::kErrorDiskFull);
  EXPECT_TRUE(opened(0).writeExactly("xy", 2));
  EXPECT_EQ(readFileOrEmpty(path), "xyCD0123");
}

TEST(PlatformFile, OpensAreRefusedWithTheWindowsCodes) {
  TempFolder folder;
  const std::string held = folder / "held.dat", locked = folder / "locked.dat";
  ASSERT_TRUE(writeFile(held, "content") && writeFile(locked, "keep") && makeReadOnly(locked) &&
              makeFolder(folder / "sub"));
  const struct {
    const char* what;
    std::string path;
    uint32_t holderAccess;  // 0: nobody holds the file; else someone who shares reading only
    uint32_t access, share, disposition;
    uint32_t error;  // 0: it opens
  } cases[] = {
      {"absent", folder / "absent.dat", 0, R, SR, plat::kOpenExisting, plat::kErrorFileNotFound},
      {"no such folder", folder / "no\\such\\folder.dat", 0, W, SR, plat::kCreateAlways, plat::kErrorPathNotFound},
      {"a folder is no file", folder / "sub", 0, R, SR, plat::kOpenExisting, plat::kErrorAccessDenied},
      {"readers share with a reader", held, R, R, SR, plat::kOpenExisting, 0},
      {"a reader keeps writers out", held, R, W, SR, plat::kCreateAlways, plat::kErrorSharingViolation},
      {"a reader that will not share reading", held, R, R, plat::kShareNone, plat::kOpenExisting,
       plat::kErrorSharingViolation},
      {"a writer keeps out readers that do not share writing", held, W, R, SR, plat::kOpenExisting,
       plat::kErrorSharingViolation},
      {"a writer lets in readers that share writing", held, W, R, SR | plat::kShareWrite, plat::kOpenExisting, 0},
      {"a read-only file lets readers in", locked, 0, R, SR, plat::kOpenExisting, 0},
      {"a read-only file refuses writers", locked, 0, W, SR, plat::kOpenExisting, plat::kErrorAccessDenied},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    if (test.path == locked && test.error != 0 && !readOnlyAttributeHolds()) continue;  // Wine as root
    plat::File holder, file;
    ASSERT_TRUE(!test.holderAccess || holder.open(held.c_str(), test.holderAccess, SR, plat::kOpenExisting));
    bool opened = file.open(test.path.c_str(), test.access, test.share, test.disposition);
    EXPECT_EQ(opened ? 0u : plat::lastError(), test.error);
  }
  EXPECT_EQ(readFileOrEmpty(held), "content") << "a refused CREATE_ALWAYS truncates nothing";
}

// A file put in place through its handle: the name shows the old bytes or
// the new ones; what Windows keeps at the name (a folder, a read-only
// file, an open one) stays and nothing changes; a link at the name is
// replaced, never followed. The traits the file takes over are the old
// one's.
TEST(PlatformTransfer, PutsAFileInPlaceInOneStepOrChangesNothing) {
  enum class There { Nothing, File, ReadOnlyFile, OpenFile, Folder, Link };
  const struct {
    const char* what;
    There there;
    uint32_t error;  // 0: done
  } cases[] = {
      {"a new name", There::Nothing, 0},
      {"a file is replaced", There::File, 0},
      {"a read-only file stays", There::ReadOnlyFile, plat::kErrorAccessDenied},
      {"an open file stays", There::OpenFile, plat::kErrorAccessDenied},
      {"a folder stays", There::Folder, plat::kErrorAccessDenied},
      {"a link is replaced, its file untouched", There::Link, 0},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    if (test.there == There::ReadOnlyFile && !readOnlyAttributeHolds()) continue;  // Wine as root
    TempFolder fresh;
    const std::string target = fresh / "target.dat", outside = fresh / "outside.dat";
    plat::File holder;
    bool made = writeFile(outside, "outside");
    switch (test.there) {
      case There::Nothing: break;
      case There::File: made &= writeFile(target, "old"); break;
      case There::ReadOnlyFile: made &= writeFile(target, "old") && makeReadOnly(target); break;
      case There::OpenFile:
        made &= writeFile(target, "old") &&
                holder.open(target.c_str(), R, SR | plat::kShareWrite | plat::kShareDelete, plat::kOpenExisting);
        break;
      case There::Folder: made &= makeFolder(target); break;
      case There::Link:
        if (!makeLink(LinkKind::File, target, outside)) continue;  // Wine shows no file link
        break;
    }
    ASSERT_TRUE(made);
    plat::Folder folder;
    plat::File old, file;
    plat::FileTraits traits;
    ASSERT_TRUE(folder.openRoot(fresh.path().c_str()));
    bool hadTraits = test.there == There::File && old.openIn(folder, "target.dat", R, SR, plat::kOpenExisting) &&
                     old.traits(&traits);
    old.close();
    ASSERT_TRUE(file.openIn(folder, "target.new", W | plat::kDeleteAccess, plat::kShareNone, plat::kCreateNew) &&
                file.writeExactly("new bytes", 9) && (!hadTraits || file.adoptTraits(traits)));
    bool done = file.putInPlace(folder, "target.dat");
    EXPECT_EQ(done ? 0u : plat::lastError(), test.error);
    plat::FileTraits now;
    EXPECT_TRUE(!done || !hadTraits || (file.traits(&now) && now.attributes == traits.attributes))
        << "the handle is the file at its new name, with the old one's traits";
    file.close();
    holder.close();
    const char* before = test.there == There::Nothing || test.there == There::Link ? "" : "old";
    if (test.there != There::Folder) {
      EXPECT_EQ(readFileOrEmpty(target), done ? "new bytes" : before);
    }
    EXPECT_EQ(fileIsPresent(fresh / "target.new"), !done);
    EXPECT_EQ(readFileOrEmpty(outside), "outside");
  }
}

std::string search(const std::string& pattern);

// The overlay keeps every change aside: an existing file written, cut and
// grown at random reads back as a model of it does, through memory and
// past the bound through the scratch file; new files and folders, renames
// and removals are seen through the overlay alone. Nothing of the real
// folder changes, and the scratch file goes with the overlay.
TEST(PlatformOverlay, KeepsEveryChangeAsideAndReadsThroughTheRest) {
  TempFolder real, scratch;
  std::string model(3000, '\0');
  for (size_t i = 0; i < model.size(); ++i) model[i] = static_cast<char>('a' + i % 26);
  ASSERT_TRUE(writeFile(real / "a.bin", model) && writeFile(real / "b.txt", "b") && makeFolder(real / "sub"));
  const std::map<std::string, std::string> before = filesBelow(real.path());
  {
    plat::OverlayFiles overlay(plat::files(), scratch / "kept.bin", 4096);
    plat::FileSystemInUse inUse(overlay);
    plat::Folder root, made;
    plat::File file, fresh;
    ASSERT_TRUE(root.openRoot(real.path().c_str()) &&
                file.openIn(root, "a.bin", R | W, SR, plat::kOpenExisting));
    uint32_t seed = 7;
    const auto next = [&seed](uint32_t below) { return (seed = seed * 1103515245u + 12345u) % below; };
    for (int step = 0; step < 300; ++step) {
      uint64_t at = next(4000);
      if (step % 10 == 9) {
        model.resize(at);
        ASSERT_TRUE(file.seek(static_cast<int64_t>(at), SeekOrigin::Begin) && file.truncateHere());
        continue;
      }
      std::string bytes(1 + next(200), static_cast<char>('A' + step % 26));
      if (model.size() < at + bytes.size()) model.resize(at + bytes.size());
      model.replace(at, bytes.size(), bytes);
      ASSERT_TRUE(file.seek(static_cast<int64_t>(at), SeekOrigin::Begin) &&
                  file.writeExactly(bytes.data(), static_cast<uint32_t>(bytes.size())));
      uint64_t from = next(static_cast<uint32_t>(model.size())), size = 0;
      std::string got(std::min<size_t>(300, model.size() - from), '\0');
      ASSERT_TRUE(file.readExactlyAt(from, &got[0], static_cast<uint32_t>(got.size())) && file.size(&size));
      ASSERT_EQ(got, model.substr(from, got.size())) << "step " << step;
      ASSERT_EQ(size, model.size());
    }
    EXPECT_GT(overlay.bytesInScratch(), 0u);
    // A new file in a new folder, put in place of another; a name removed.
    ASSERT_TRUE(made.openChild(root, "new", true) &&
                fresh.openIn(made, "n.tmp", W | plat::kDeleteAccess, plat::kShareNone, plat::kCreateNew) &&
                fresh.writeExactly("new", 3) && fresh.putInPlace(root, "b.txt"));
    EXPECT_EQ(readFileOrEmpty(real / "b.txt"), "new");
    uint32_t attributes = 0;
    EXPECT_FALSE(plat::pathAttributes((real / "new\\n.tmp").c_str(), &attributes));
    EXPECT_TRUE(fresh.removeName() && !plat::pathAttributes((real / "b.txt").c_str(), &attributes));
    EXPECT_TRUE(plat::pathAttributes((real / "new").c_str(), &attributes) && (attributes & plat::kAttributeDirectory));
    EXPECT_FALSE(fresh.openIn(root, "a.bin", W, SR, plat::kCreateNew)) << "a real name is taken";
    EXPECT_EQ(search(real / "*"), "a.bin new\\ sub\\ " + std::to_string(plat::kErrorNoMoreFiles))
        << "searches show what the overlay made, not what it removed";
    EXPECT_EQ(overlay.changedSinceMark().size(), 4u) << "a.bin, new\\, new\\n.tmp, b.txt";
  }
  EXPECT_EQ(filesBelow(real.path()), before);
  EXPECT_TRUE(filesBelow(scratch.path()).empty());
}

// What a search finds, by CP932 name (folders with a backslash, names that
// CP932 cannot write as "?" and their UTF-8), then the error it ends with.
std::string search(const std::string& pattern) {
  plat::FileSearch search;
  plat::FoundFile found;
  std::set<std::string> names;
  for (bool more = search.first(pattern.c_str(), &found); more; more = search.next(&found)) {
    if (found.name == "." || found.name == "..") continue;
    // Never a look-alike name that could open another file.
    EXPECT_EQ(found.nameable ? found.utf8Name : found.name, found.nameable ? utf8Of(found.name) : "");
    names.insert(found.nameable ? found.name + (found.attributes & plat::kAttributeDirectory ? "\\" : "")
                                : "?" + found.utf8Name);
  }
  std::string text;
  for (const std::string& name : names) text += name + " ";
  return text + std::to_string(plat::lastError());
}

// Wildcards, folders and misses; names whose trail bytes are backslashes,
// as a folder and a file; names without a CP932 form, reported, not skipped.
TEST(PlatformSearch, WildcardsFoldersMissesAndDoubleByteNames) {
  TempFolder folder;
  const std::string sub = folder / (kSoHyou + "\\"), cafe = "caf\xC3\xA9.txt";  // U+00E9 has no CP932 form
  ASSERT_TRUE(makeFolder(folder / "data.dir") && writeFile(folder / "data.bin", "x") && makeFolder(sub));
  ASSERT_TRUE(writeFile(sub + kSoHyou + ".txt", "so-hyou") && writeFileNamedInUtf8(sub, cafe, "y"));
  const std::string none = std::to_string(plat::kErrorNoMoreFiles);
  EXPECT_EQ(search(folder / "data.dir"), "data.dir\\ " + none);
  EXPECT_EQ(search(folder / "data.*"), "data.bin data.dir\\ " + none);
  EXPECT_EQ(search(folder / "*"), "data.bin data.dir\\ " + kSoHyou + "\\ " + none);
  EXPECT_EQ(search(sub + "*.txt"), "?" + cafe + " " + kSoHyou + ".txt " + none);
  EXPECT_EQ(search(folder / "nothing*"), std::to_string(plat::kErrorFileNotFound));
  EXPECT_EQ(search(folder / "absent.bin"), std::to_string(plat::kErrorFileNotFound));
  EXPECT_EQ(readFileOrEmpty(sub + kSoHyou + ".txt"), "so-hyou");
  plat::File file;
  EXPECT_FALSE(file.open((folder / "\x81").c_str(), R, SR, plat::kOpenExisting)) << "no CP932, no file";
}

// Lines as text mode reads them: CR LF as one line end, also across the
// reader's 64 KiB chunks, a lone CR kept, a line cut at the buffer, 0x1A
// the end of the text. (A missing file and appending are shown with the
// update list and the setup log.)
TEST(PlatformTextStream, ReadsLinesWithTextModeRules) {
  TempFolder folder;
  const std::string longLine(64 * 1024 - 1, 'a');
  const struct {
    std::string bytes;
    size_t room;
    std::string lines;  // each ends with "|"
  } cases[] = {
      {"one\r\ntwo\rthree\nlast\x1aignored\n", 8, "one\n|two\rthr|ee\n|last|"},
      {longLine + "\r\nb\r\n", 70000, longLine + "\n|b\n|"},
  };
  for (const auto& test : cases) {
    ASSERT_TRUE(writeFile(folder / "text.txt", test.bytes));
    plat::TextReader reader;
    ASSERT_TRUE(reader.open((folder / "text.txt").c_str()));
    std::vector<char> line(test.room);
    std::string lines;
    while (size_t length = reader.readLine(line.data(), line.size()))
      lines += std::string(line.data(), length) + (std::strlen(line.data()) == length ? "|" : " unterminated|");
    EXPECT_EQ(lines, test.lines);
  }
}

}  // namespace
