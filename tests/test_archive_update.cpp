// Putting a file into a target archive: what grows, what is rewritten, what
// is counted, and where the new content comes from.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "archive/archive_builder.h"
#include "archive/archive_update.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_state.h"
#include "run/verification.h"
#include "tests/support/run_reset.h"
#include "tests/support/test_files.h"

namespace {

uint32_t getU32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

std::string u32(uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return bytes;
}

// An archive of `entries` whose first record's content runs `size` bytes.
std::string withFirstSize(const std::vector<ArchiveBuilderEntry>& entries, uint32_t size) {
  std::string bytes = buildArchiveBytes(entries);
  bytes.replace(getU32(bytes, 16) + 12, 4, u32(size));
  return bytes;
}

class ArchiveUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override { resetRunState(); }
  void TearDown() override { resetRunState(); }

  std::string target() const { return folder / "game.qrv"; }
  std::string source(const char* name = "new.bin") const { return folder / name; }
  // Writes the source file and gives its path.
  std::string sourceOf(const std::string& bytes, const char* name = "new.bin") {
    EXPECT_TRUE(writeFile(source(name), bytes));
    return source(name);
  }
  void writeTarget(const std::vector<ArchiveBuilderEntry>& entries) {
    ASSERT_TRUE(writeArchiveFile(target().c_str(), entries));
  }
  bool insert(const std::string& sourceName, const char* entryName) {
    return insertIntoArchive(target().c_str(), sourceName.c_str(), entryName);
  }
  std::string entryText(const char* name) {
    PackageArchive archive(target().c_str());
    Content content;
    if (!archive.readEntry(name, &content)) return "<absent>";
    return std::string(content.bytes.get(), content.size);
  }

  TempFolder folder;
};

TEST_F(ArchiveUpdateTest, IdenticalContentChangesNothing) {
  writeTarget({{"a.txt", "alpha"}, {"b.txt", ""}});
  std::string before = readFileOrEmpty(target());
  EXPECT_TRUE(insert(sourceOf("alpha"), "A.TXT"));
  EXPECT_TRUE(insert(sourceOf("", "empty"), "b.txt"));
  EXPECT_TRUE(insert(source("empty"), "absent.txt"));     // an empty source adds nothing
  EXPECT_TRUE(insert(source("missing"), "absent.txt"));   // nor does a missing one
  EXPECT_TRUE(insert(source("missing"), "b.txt"));        // an empty entry equals no content
  EXPECT_EQ(readFileOrEmpty(target()), before);
  EXPECT_EQ(runState.changedFileCount, 0);
}

// The stored record keeps its name and place; only its position and size
// change, and the first of two case-folded duplicates is the one found.
TEST_F(ArchiveUpdateTest, ReplacementAppendsTheContentAndRewritesBytes8To15OfOneRecord) {
  writeTarget({{"a.txt", "alpha"}, {"Dup", "first"}, {"dup", "second"}});
  std::string before = readFileOrEmpty(target());
  uint32_t indexOffset = getU32(before, 16);
  ASSERT_TRUE(insert(sourceOf("firsT"), "DUP"));  // same length, one byte differs
  std::string after = readFileOrEmpty(target());
  ASSERT_EQ(after.size(), before.size() + 5);
  EXPECT_EQ(after.substr(before.size()), "firsT");
  size_t changedRecord = indexOffset + 20;
  for (size_t i = 0; i < before.size(); ++i) {
    if (i >= changedRecord + 8 && i < changedRecord + 16) continue;
    ASSERT_EQ(after[i], before[i]) << "byte " << i;
  }
  EXPECT_EQ(after.substr(changedRecord + 8, 8), u32(static_cast<uint32_t>(before.size())) + u32(5));
  EXPECT_EQ(entryText("dup"), "firsT");
  EXPECT_EQ(runState.changedFileCount, 1);

  // A second replacement leaves both older contents behind; the index stays put.
  ASSERT_TRUE(insert(sourceOf("third content"), "dup"));
  std::string again = readFileOrEmpty(target());
  EXPECT_EQ(again.size(), after.size() + 13);
  EXPECT_EQ(again.substr(0, 24), before.substr(0, 24));
  EXPECT_EQ(entryText("dup"), "third content");
  EXPECT_EQ(entryText("a.txt"), "alpha");

  // Empty content: nothing appended, the record says 0 bytes.
  ASSERT_TRUE(insert(sourceOf(""), "a.txt"));
  EXPECT_EQ(readFileOrEmpty(target()).size(), again.size());
  EXPECT_EQ(entryText("a.txt"), "");
  EXPECT_EQ(runState.changedFileCount, 3);
}

TEST_F(ArchiveUpdateTest, AdditionAppendsNameContentAndAWholeNewIndex) {
  writeTarget({{"a.txt", "alpha"}, {"b.txt", "beta"}});
  std::string before = readFileOrEmpty(target());
  uint32_t oldIndex = getU32(before, 16);
  // "新規" (new) in code page 932: the name is stored byte for byte.
  const char* name = "data\\\x90\x56\x8B\x4B.txt";
  ASSERT_TRUE(insert(sourceOf("gamma!"), name));
  std::string after = readFileOrEmpty(target());
  std::string nameBytes = std::string(name) + '\0';
  uint32_t end = static_cast<uint32_t>(before.size());
  uint32_t newIndex = end + static_cast<uint32_t>(nameBytes.size()) + 6;
  ASSERT_EQ(after.size(), newIndex + 3 * 20);
  EXPECT_EQ(after.substr(0, 16), before.substr(0, 16));
  EXPECT_EQ(after.substr(16, 8), u32(newIndex) + u32(60));
  EXPECT_EQ(after.substr(24, before.size() - 24), before.substr(24));
  EXPECT_EQ(after.substr(end, nameBytes.size() + 6), nameBytes + "gamma!");
  EXPECT_EQ(after.substr(newIndex, 40), before.substr(oldIndex, 40));
  EXPECT_EQ(after.substr(newIndex + 40),
            u32(end) + u32(static_cast<uint32_t>(nameBytes.size())) + u32(end + nameBytes.size()) + u32(6) + u32(0));
  EXPECT_EQ(entryText(name), "gamma!");
  EXPECT_EQ(runState.changedFileCount, 1);
}

TEST_F(ArchiveUpdateTest, DoubleByteNamesAreNotFoldedBeyondTheirAsciiBytes) {
  // "ア" (0x83 0x41) and "チ" (0x83 0x60) differ only by a folded trail byte:
  // the fold does not know characters, so "ア" finds the stored "チ"...
  writeTarget({{"\x83\x61", "old"}});
  ASSERT_TRUE(insert(sourceOf("new"), "\x83\x41"));
  EXPECT_EQ(PackageArchive(target().c_str()).loadedEntryCount(), 1);
  // ...while a differing lead byte is another name and is added.
  ASSERT_TRUE(insert(source(), "\xA3\x61"));
  EXPECT_EQ(PackageArchive(target().c_str()).loadedEntryCount(), 2);
}

TEST_F(ArchiveUpdateTest, PackageSourceTakesPrecedenceOverALooseFile) {
  writeTarget({{"a.txt", "alpha"}});
  ASSERT_TRUE(writeArchiveFile((folder / "src.qrv").c_str(), {{"new.bin", "from package"}}));
  // A package that lists "new.bin" with content beyond its end.
  ASSERT_TRUE(writeFile(folder / "bad.qrv", withFirstSize({{"new.bin", "xy"}}, 1000)));
  sourceOf("loose file");
  sourceOf("loose only", "only-loose.bin");
  CurrentDirectory here(folder.path());
  runState.currentPackage = std::make_unique<PackageArchive>("src.qrv");
  ASSERT_TRUE(insert("new.bin", "a.txt"));
  EXPECT_EQ(entryText("a.txt"), "from package");
  ASSERT_TRUE(insert("only-loose.bin", "b.txt"));  // the package lacks it: the loose file
  EXPECT_EQ(entryText("b.txt"), "loose only");

  // A package whose file is gone falls back to the loose file as well...
  runState.currentPackage = std::make_unique<PackageArchive>("gone.qrv");
  ASSERT_TRUE(insert("new.bin", "c.txt"));
  EXPECT_EQ(entryText("c.txt"), "loose file");
  EXPECT_EQ(runState.changedFileCount, 3);

  // ...and so does a file that is no readable archive (a text file whose
  // "index" lies outside it): it lists nothing, in the verification too.
  ASSERT_TRUE(writeFile(folder / "readme.txt", "This text file is not an archive at all.\r\n"));
  runState.currentPackage = std::make_unique<PackageArchive>("readme.txt");
  EXPECT_TRUE(sourceExists(runState.currentPackage.get(), "new.bin"));
  ASSERT_TRUE(insert("new.bin", "d.txt"));
  EXPECT_EQ(entryText("d.txt"), "loose file");
  EXPECT_EQ(runState.changedFileCount, 4);

  // ...but an entry it holds and cannot read is a failure, not a fallback,
  // and the verification says so before the run begins.
  std::string before = readFileOrEmpty(target());
  runState.currentPackage = std::make_unique<PackageArchive>("bad.qrv");
  EXPECT_FALSE(sourceExists(runState.currentPackage.get(), "new.bin"));
  plat::setLastError(0);
  EXPECT_FALSE(insert("new.bin", "a.txt"));
  EXPECT_EQ(plat::lastError(), plat::kErrorHandleEof);
  EXPECT_FALSE(insert("new.bin", "other.txt"));
  EXPECT_EQ(readFileOrEmpty(target()), before);
  EXPECT_EQ(runState.changedFileCount, 4);
}

// Failures leave the target as it was and count nothing.
TEST_F(ArchiveUpdateTest, MissingSourceOrTargetWithoutAUsableIndexChangesNothing) {
  writeTarget({{"a.txt", "alpha"}});
  std::string before = readFileOrEmpty(target());
  plat::setLastError(0);
  EXPECT_FALSE(insert(source("missing"), "a.txt"));
  EXPECT_EQ(plat::lastError(), plat::kErrorFileNotFound);
  EXPECT_EQ(readFileOrEmpty(target()), before);

  sourceOf("new");
  // Shorter than its header: no index that an addition could extend; an
  // index beyond the end of the file: its entries cannot be known.
  // Either way the failure has a code: the prompt never says "error 0".
  for (auto [bytes, code] :
       {std::pair{std::string("QRV001short"), plat::kErrorHandleEof},
        {std::string("QRV001") + std::string(10, '\0') + u32(500) + u32(20), kErrorInvalidData}}) {
    ASSERT_TRUE(writeFile(target(), bytes));
    plat::setLastError(0);
    EXPECT_FALSE(insert(source(), "a.txt"));
    EXPECT_EQ(plat::lastError(), code);
    EXPECT_EQ(readFileOrEmpty(target()), bytes);
  }
  EXPECT_EQ(runState.changedFileCount, 0);

  // A stored entry whose content runs past the end is replaced, not added.
  ASSERT_TRUE(writeFile(target(), withFirstSize({{"a.txt", "alpha"}}, 5000)));
  ASSERT_TRUE(insert(sourceOf("repaired"), "a.txt"));
  EXPECT_EQ(entryText("a.txt"), "repaired");
  EXPECT_EQ(PackageArchive(target().c_str()).loadedEntryCount(), 1);
}

// A change rewrites one record (replacement) or the header (addition) and
// appends at the end: an archive where that would also change another
// record's name or content is refused with a code and left as it is. Records
// that merely share name bytes are fine.
TEST_F(ArchiveUpdateTest, ChangesThatWouldAlterAnotherEntryAreRefused) {
  std::string body = std::string("a.txt\0", 6) + "alpha" + std::string("b\0", 2) + "beta";  // from byte 24
  auto archiveWith = [&](const std::string& secondRecord) {
    std::string bytes = "QRV001" + std::string(10, '\0') + u32(24 + 17) + u32(40) + body;
    return bytes + u32(24) + u32(6) + u32(30) + u32(5) + u32(0) + secondRecord;
  };
  uint32_t index = 24 + 17;
  sourceOf("new");
  for (auto [title, second] : {
           std::pair{"name inside its own index record", u32(index + 20) + u32(2) + u32(37) + u32(4) + u32(0)},
           {"name inside the other record", u32(index + 8) + u32(2) + u32(37) + u32(4) + u32(0)},
           {"name in the header", u32(16) + u32(4) + u32(37) + u32(4) + u32(0)},
           {"name past the end", u32(index + 40) + u32(2) + u32(37) + u32(4) + u32(0)},
           {"content covering the index", u32(35) + u32(2) + u32(24) + u32(57) + u32(0)},
           {"content covering the header's index fields", u32(35) + u32(2) + u32(0) + u32(20) + u32(0)}}) {
    SCOPED_TRACE(title);
    std::string bytes = archiveWith(second);
    for (const char* entry : {"a.txt", "new.txt"}) {
      ASSERT_TRUE(writeFile(target(), bytes));
      plat::setLastError(0);
      EXPECT_FALSE(insert(source(), entry));
      EXPECT_EQ(plat::lastError(), kErrorInvalidData);
      EXPECT_EQ(readFileOrEmpty(target()), bytes);
    }
  }
  EXPECT_EQ(runState.changedFileCount, 0);

  // 100 records naming the same 40 bytes: an archive like any other.
  std::string name = std::string(39, 'n');
  std::string shared = "QRV001" + std::string(10, '\0') + u32(24 + 40 + 4) + u32(2000) + name + '\0' + "data";
  for (int i = 0; i < 100; ++i) shared += u32(24) + u32(40) + u32(64) + u32(4) + u32(0);
  ASSERT_TRUE(writeFile(target(), shared));
  ASSERT_TRUE(insert(source(), name.c_str()));
  ASSERT_TRUE(insert(source(), "added"));
  PackageArchive after(target().c_str());
  EXPECT_EQ(after.loadedEntryCount(), 101);
  EXPECT_EQ(entryText(name.c_str()), "new");
  EXPECT_EQ(entryText("added"), "new");
}

// Positions are sought as signed 32-bit distances: an archive of 2 GiB or
// more, or one that a change would carry past 2 GiB - 1, is refused before
// anything is written. The files are sparse: only their ends are written.
TEST_F(ArchiveUpdateTest, ArchivesReachingTwoGibibytesAreRefusedBeforeAnyWrite) {
  sourceOf(std::string(20, 'n'));
  for (uint64_t size : {uint64_t{0x80000000u}, uint64_t{0x7FFFFFFFu} - 10, uint64_t{0x100002000u}}) {
    SCOPED_TRACE(size);
    writeTarget({{"a.txt", "alpha"}});
    {
      plat::File file;
      ASSERT_TRUE(file.open(target().c_str(), plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting));
      ASSERT_TRUE(file.seek(static_cast<int64_t>(size - 1), plat::SeekOrigin::Begin));
      ASSERT_TRUE(file.writeExactly("z", 1));
    }
    for (const char* entry : {"a.txt", "new.txt"}) {
      plat::setLastError(0);
      EXPECT_FALSE(insert(source(), entry));
      EXPECT_EQ(plat::lastError(), plat::kErrorFileTooLarge);
    }
    plat::File file;
    uint64_t after = 0;
    ASSERT_TRUE(file.open(target().c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting));
    ASSERT_TRUE(file.size(&after));
    EXPECT_EQ(after, size);
  }
  EXPECT_EQ(runState.changedFileCount, 0);
}

TEST_F(ArchiveUpdateTest, TargetThatCannotBeWrittenFailsWithTheOpenError) {
  writeTarget({{"a.txt", "alpha"}});
  std::string before = readFileOrEmpty(target());
  sourceOf("new");
  if (readOnlyAttributeHolds()) {
    ASSERT_TRUE(makeReadOnly(target()));
    for (const char* entry : {"a.txt", "b.txt"}) {
      plat::setLastError(0);
      EXPECT_FALSE(insert(source(), entry));
      EXPECT_EQ(plat::lastError(), plat::kErrorAccessDenied);
    }
    EXPECT_EQ(readFileOrEmpty(target()), before);
  }

  // Held open elsewhere for writing: the share mode keeps this writer out.
  std::string other = folder / "held.qrv";
  ASSERT_TRUE(writeArchiveFile(other.c_str(), {{"a.txt", "alpha"}}));
  plat::File holder;
  ASSERT_TRUE(holder.open(other.c_str(), plat::kGenericWrite, plat::kShareRead | plat::kShareWrite,
                          plat::kOpenExisting));
  EXPECT_FALSE(insertIntoArchive(other.c_str(), source().c_str(), "a.txt"));
  EXPECT_EQ(plat::lastError(), plat::kErrorSharingViolation);
  holder.close();

  plat::setLastError(0);
  EXPECT_FALSE(insertIntoArchive((folder / "absent.qrv").c_str(), source().c_str(), "a.txt"));
  EXPECT_EQ(plat::lastError(), plat::kErrorFileNotFound);
  EXPECT_EQ(runState.changedFileCount, 0);
}

}  // namespace
