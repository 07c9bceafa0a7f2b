// The archive reader and the two index rewrites, checked against the bytes
// of the file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "archive/archive_builder.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "tests/support/test_files.h"

namespace {

std::string u32(uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return bytes;
}

std::string record(uint32_t nameOffset, uint32_t nameLength, uint32_t dataOffset, uint32_t dataSize,
                   uint32_t reserved = 0) {
  return u32(nameOffset) + u32(nameLength) + u32(dataOffset) + u32(dataSize) + u32(reserved);
}

std::string header(uint32_t indexOffset, uint32_t indexSize) {
  return std::string("QRV001") + std::string("0123456789") + u32(indexOffset) + u32(indexSize);
}

// A header, `body` from byte 24 on and `index` right after it; the header
// gives `indexSize`, or the index's own size.
std::string archiveOf(const std::string& body, const std::string& index, int64_t indexSize = -1) {
  return header(static_cast<uint32_t>(24 + body.size()),
                static_cast<uint32_t>(indexSize < 0 ? index.size() : indexSize)) +
         body + index;
}

// Reads an entry, also checking the NUL after the content.
bool readAs(PackageArchive& archive, const char* name, std::string* text) {
  Content content;
  if (!archive.readEntry(name, &content)) return false;
  EXPECT_EQ(content.bytes[content.size], '\0');
  *text = std::string(content.bytes.get(), content.size);
  return true;
}

class ArchiveReaderTest : public ::testing::Test {
 protected:
  std::string path() const { return folder / "pack.qrv"; }
  void writeBytes(const std::string& bytes) { ASSERT_TRUE(writeFile(path(), bytes)); }
  void writeEntries(const std::vector<ArchiveBuilderEntry>& entries) {
    ASSERT_TRUE(writeArchiveFile(path().c_str(), entries));
  }
  TempFolder folder;
};

TEST_F(ArchiveReaderTest, ReadsEntriesWholeAndTheFirstOfDuplicates) {
  writeEntries({{"data\\a.txt", "alpha"}, {"b.bin", std::string("\0\x01\x02", 3)}, {"empty", ""},
                {"same", "first"}, {"SAME", "second"}});
  PackageArchive archive(path().c_str());
  std::string text;
  for (auto [name, content] : {std::pair<const char*, std::string>{"data\\a.txt", "alpha"},
                               {"b.bin", std::string("\0\x01\x02", 3)}, {"empty", ""}, {"Same", "first"}}) {
    ASSERT_TRUE(readAs(archive, name, &text)) << name;
    EXPECT_EQ(text, content) << name;
  }
  EXPECT_EQ(archive.loadedEntryCount(), 5);

  // A failed read leaves the caller's buffer as it was.
  Content content;
  content.bytes.reset(new char[2]{'x', '\0'});
  content.size = 1;
  char* before = content.bytes.get();
  EXPECT_FALSE(archive.readEntry("missing", &content));
  EXPECT_EQ(content.bytes.get(), before);
  EXPECT_EQ(content.size, 1u);
}

TEST_F(ArchiveReaderTest, NamesFoldAsciiLettersOnly) {
  // "ア" is 0x83 0x41 in code page 932: its trail byte folds like 'A'.
  writeEntries({{"Data\\File.TXT", "one"}, {"\x83\x41.bin", "kana"}, {"x_y", "under"}});
  PackageArchive archive(path().c_str());
  std::string text;
  EXPECT_TRUE(readAs(archive, "data\\file.txt", &text));
  EXPECT_TRUE(readAs(archive, "DATA\\FILE.TXT", &text));
  EXPECT_EQ(text, "one");
  EXPECT_TRUE(readAs(archive, "\x83\x61.BIN", &text));  // the trail byte folded
  EXPECT_EQ(text, "kana");
  EXPECT_FALSE(readAs(archive, "\xA3\x41.bin", &text));  // a lead byte is not folded
  EXPECT_FALSE(readAs(archive, "X_Y ", &text));
  EXPECT_FALSE(readAs(archive, "x\x7Fy", &text));  // '_' is 0x5F, not a letter to fold
  EXPECT_FALSE(readAs(archive, "data\\file.tx", &text));
  EXPECT_FALSE(readAs(archive, "data\\file.txtx", &text));

  EXPECT_TRUE(archiveNamesEqual("ABCXYZ", "abcxyz"));
  EXPECT_FALSE(archiveNamesEqual("@[`{", "`{@["));  // neighbours of the letter ranges
  EXPECT_FALSE(archiveNamesEqual("abc", "ABC\xC1"));
}

TEST_F(ArchiveReaderTest, MissingFileIsNotRetriedUntilAppend) {
  PackageArchive archive(path().c_str());
  std::string text;
  EXPECT_FALSE(readAs(archive, "a", &text));
  EXPECT_EQ(archive.indexState(), PackageArchive::IndexState::NotOpened);
  writeEntries({{"a", "alpha"}});
  EXPECT_FALSE(readAs(archive, "a", &text));  // the failed load stands
  // appendEntry clears the flag (whatever its outcome), so the next lookup loads again.
  EXPECT_TRUE(archive.appendEntry(24, 2, 26, 5));
  ASSERT_TRUE(readAs(archive, "a", &text));
  EXPECT_EQ(text, "alpha");
}

// Files without a usable header or index: no entries, and neither rewrite
// touches them.
TEST_F(ArchiveReaderTest, ShortFilesAndIndexesOutsideTheFileGiveNoEntries) {
  std::string body("a\0alpha", 7);
  std::vector<std::pair<std::string, PackageArchive::IndexState>> cases;
  for (size_t length : {size_t{0}, size_t{6}, size_t{23}})
    cases.push_back({header(24, 0).substr(0, length), PackageArchive::IndexState::NoHeader});
  for (uint32_t indexOffset : {uint32_t{31}, uint32_t{40}, uint32_t{0x80000000u}, uint32_t{0xFFFFFFF0u}})
    cases.push_back({header(indexOffset, 40) + body + record(24, 2, 26, 5), PackageArchive::IndexState::Malformed});
  for (const auto& [bytes, state] : cases) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    writeBytes(bytes);
    PackageArchive archive(path().c_str());
    std::string text;
    EXPECT_FALSE(readAs(archive, "a", &text));
    EXPECT_EQ(archive.loadedEntryCount(), 0);
    EXPECT_EQ(archive.indexState(), state);
    EXPECT_FALSE(archive.relocateEntry("a", 24, 2));
    EXPECT_FALSE(archive.appendEntry(24, 2, 26, 5));
    EXPECT_EQ(readFileOrEmpty(path()), bytes);
  }
}

TEST_F(ArchiveReaderTest, IndexSizeCountsWholeRecordsAndNamesEndAtTheirFirstNul) {
  writeBytes(header(24, 0));
  EXPECT_EQ(PackageArchive(path().c_str()).loadedEntryCount(), 0);

  // indexSize 30: one record and ten bytes of nothing.
  writeBytes(archiveOf(std::string("a\0alpha", 7), record(24, 2, 26, 5) + std::string(10, '\x7F')));
  PackageArchive archive(path().c_str());
  EXPECT_EQ(archive.loadedEntryCount(), 1);
  std::string text;
  ASSERT_TRUE(readAs(archive, "a", &text));
  EXPECT_EQ(text, "alpha");

  // nameLength 6 covers "ab", a NUL and "cd" plus another NUL.
  writeBytes(archiveOf(std::string("ab\0cd\0", 6) + "xyz", record(24, 6, 30, 3)));
  PackageArchive split(path().c_str());
  EXPECT_TRUE(readAs(split, "ab", &text));
  EXPECT_FALSE(readAs(split, "abcd", &text));
  ASSERT_NE(split.loadedEntry(0), nullptr);
  EXPECT_EQ(std::strlen(split.loadedEntry(0)->name), 2u);
}

// Records that no writer of this system produces: what each one means.
TEST_F(ArchiveReaderTest, MalformedRecordsAreReadSafely) {
  std::string body = std::string("nonul") + std::string("good\0", 5) + "content";
  uint32_t fileEnd = static_cast<uint32_t>(24 + body.size() + 6 * 20);
  writeBytes(archiveOf(body, record(24, 5, 34, 7) +           // 0: no NUL: the whole field is the name
                                 record(29, 0, 34, 7) +           // 1: nameLength 0: no name, never found
                                 record(fileEnd - 2, 5, 34, 7) +  // 2: name runs past the end: no name
                                 record(29, 5, fileEnd - 3, 4) +  // 3: "good", content past the end: unreadable
                                 record(29, 5, 34, 7) +           // 4: "good" again, shadowed by record 3
                                 record(0xFFFFFFF0u, 0x20, 0xFFFFFFFFu, 0xFFFFFFFFu)));  // 5: wrapped: nothing
  PackageArchive archive(path().c_str());
  EXPECT_EQ(archive.loadedEntryCount(), 6);
  EXPECT_EQ(archive.indexState(), PackageArchive::IndexState::Loaded);
  std::string text;
  ASSERT_TRUE(readAs(archive, "nonul", &text));
  EXPECT_EQ(text, "content");
  EXPECT_FALSE(readAs(archive, "", &text));
  for (int i : {1, 2, 5}) EXPECT_EQ(archive.loadedEntry(i)->name, nullptr) << i;
  EXPECT_TRUE(archive.holdsEntry("good"));
  EXPECT_FALSE(readAs(archive, "good", &text));

  // Records may share name bytes: 5,000 records naming one 64 KiB field
  // without a NUL, or one short name, cost one copy at most.
  std::string names = std::string(65536, 'n') + std::string("s\0", 2);
  for (auto [nameOffset, nameLength, name] : {std::tuple{24u, 65536u, std::string(65536, 'n')},
                                              {24u + 65536u, 2u, std::string("s")}}) {
    std::string index;
    for (int i = 0; i < 5000; ++i) index += record(nameOffset, nameLength, 24, 1);
    writeBytes(archiveOf(names, index));
    PackageArchive shared(path().c_str());
    EXPECT_EQ(shared.loadedEntryCount(), 5000);
    EXPECT_EQ(shared.loadedEntry(4999)->name, shared.loadedEntry(0)->name);
    ASSERT_TRUE(readAs(shared, name.c_str(), &text));
    EXPECT_EQ(text, "n");
  }
  // ...but 5,000 distinct overlapping fields without a NUL would need 320 MB
  // of copies from a file of 160 KB.
  std::string index;
  for (uint32_t i = 0; i < 5000; ++i) index += record(24, 65536 - i, 24, 1);
  writeBytes(archiveOf(names, index));
  PackageArchive huge(path().c_str());
  plat::setLastError(0);
  EXPECT_EQ(huge.loadedEntryCount(), 0);
  EXPECT_EQ(huge.indexState(), PackageArchive::IndexState::Malformed);
  EXPECT_EQ(plat::lastError(), kErrorInvalidData);
}

TEST_F(ArchiveReaderTest, NamesOutOfOrderFarApartOrInManyReadsAreAllFound) {
  // Names stored in the reverse of index order, with large gaps between
  // them, so that the name reads cannot be one run.
  const int kCount = 40;
  std::string body;
  std::string index;
  std::vector<uint32_t> nameAt(kCount);
  for (int i = kCount - 1; i >= 0; --i) {
    nameAt[i] = static_cast<uint32_t>(24 + body.size());
    body += "name" + std::to_string(i) + '\0';
    body += std::string(i % 3 == 0 ? 70000 : 10, static_cast<char>('a' + i % 26));
  }
  for (int i = 0; i < kCount; ++i) {
    uint32_t nameLength = static_cast<uint32_t>(("name" + std::to_string(i)).size() + 1);
    index += record(nameAt[i], nameLength, nameAt[i] + nameLength, 3);
  }
  writeBytes(archiveOf(body, index));
  PackageArchive apart(path().c_str());
  std::string text;
  for (int i = 0; i < kCount; ++i) {
    ASSERT_TRUE(readAs(apart, ("NAME" + std::to_string(i)).c_str(), &text)) << i;
    EXPECT_EQ(text, std::string(3, static_cast<char>('a' + i % 26)));
  }

  // About 2.5 MB of names and contents close together: read in several runs.
  std::vector<ArchiveBuilderEntry> entries;
  for (int i = 0; i < 40000; ++i)
    entries.push_back({"dir\\entry" + std::to_string(i) + ".bin", std::string(40 + i % 7, static_cast<char>(i))});
  writeEntries(entries);
  PackageArchive many(path().c_str());
  ASSERT_EQ(many.loadedEntryCount(), 40000);
  for (int i = 0; i < 40000; ++i) {
    ASSERT_NE(many.loadedEntry(i)->name, nullptr) << i;
    if (i % 997 == 0) {
      EXPECT_EQ(many.loadedEntry(i)->name, entries[i].name);
    }
  }
  ASSERT_TRUE(readAs(many, "DIR\\ENTRY39999.BIN", &text));
  EXPECT_EQ(text, entries[39999].content);
}

// Which bytes relocateEntry rewrites is pinned through the replacement in
// test_archive_update; here: its cache, and what it refuses.
TEST_F(ArchiveReaderTest, RelocateFollowsInTheCacheAndRefusesContentOutsideTheFileOrAChangedIndex) {
  writeEntries({{"a", "alpha"}, {"dup", "one"}});
  std::string before = readFileOrEmpty(path());
  uint32_t end = static_cast<uint32_t>(before.size());
  PackageArchive archive(path().c_str());
  EXPECT_FALSE(archive.relocateEntry("missing", 24, 1));
  EXPECT_FALSE(archive.relocateEntry("a", end - 2, 3));
  EXPECT_FALSE(archive.relocateEntry("a", 0x80000000u, 0));
  EXPECT_EQ(readFileOrEmpty(path()), before);

  ASSERT_TRUE(writeFile(path(), before + "NEWDATA"));
  PackageArchive grownArchive(path().c_str());
  ASSERT_TRUE(grownArchive.relocateEntry("DUP", end, 7));
  std::string text;
  ASSERT_TRUE(readAs(grownArchive, "dup", &text));
  EXPECT_EQ(text, "NEWDATA");

  // Someone else added an entry after the cache was read.
  std::string grown = readFileOrEmpty(path());
  uint32_t size = static_cast<uint32_t>(grown.size());
  ASSERT_TRUE(writeFile(path(), grown + std::string("b\0beta", 6)));
  ASSERT_TRUE(PackageArchive(path().c_str()).appendEntry(size, 2, size + 2, 4));
  std::string changed = readFileOrEmpty(path());
  EXPECT_FALSE(archive.relocateEntry("a", 26, 2));
  EXPECT_EQ(readFileOrEmpty(path()), changed);
}

// appendEntry: a new index of the n whole records and the new one at the
// end, header bytes 16 to 23; a record outside the file is refused.
TEST_F(ArchiveReaderTest, AppendWritesWholeRecordsAndTheNewOneAtTheEnd) {
  for (uint32_t indexSize : {uint32_t{0}, uint32_t{20}, uint32_t{30}, uint32_t{39}}) {
    SCOPED_TRACE(indexSize);
    std::string oldRecord = record(24, 2, 26, 5, 0xA5A5A5A5u);
    std::string bytes = archiveOf(std::string("a\0alpha", 7), (oldRecord + std::string(19, '\x11')).substr(0, indexSize));
    uint32_t nameOffset = static_cast<uint32_t>(bytes.size());
    bytes += std::string("new\0", 4) + "NEW";
    writeBytes(bytes);

    PackageArchive archive(path().c_str());
    EXPECT_FALSE(archive.appendEntry(static_cast<uint32_t>(bytes.size()), 2, 24, 1));
    EXPECT_FALSE(archive.appendEntry(24, 2, static_cast<uint32_t>(bytes.size()) - 1, 2));
    EXPECT_EQ(readFileOrEmpty(path()), bytes);
    ASSERT_TRUE(archive.appendEntry(nameOffset, 4, nameOffset + 4, 3));
    std::string after = readFileOrEmpty(path());
    uint32_t n = indexSize / 20;
    ASSERT_EQ(after.size(), bytes.size() + (n + 1) * 20);
    EXPECT_EQ(after.substr(0, 16), bytes.substr(0, 16));
    EXPECT_EQ(after.substr(24, bytes.size() - 24), bytes.substr(24));
    EXPECT_EQ(after.substr(16, 8), u32(static_cast<uint32_t>(bytes.size())) + u32((n + 1) * 20));
    EXPECT_EQ(after.substr(bytes.size()), (n == 1 ? oldRecord : "") + record(nameOffset, 4, nameOffset + 4, 3, 0));
    std::string text;
    ASSERT_TRUE(readAs(archive, "NEW", &text));
    EXPECT_EQ(text, "NEW");
    EXPECT_EQ(archive.loadedEntryCount(), static_cast<int32_t>(n + 1));
  }
}

TEST_F(ArchiveReaderTest, WriteOperationsNeedAWritableFile) {
  if (!readOnlyAttributeHolds()) GTEST_SKIP() << "the read-only attribute does not keep writers out here";
  writeEntries({{"a", "alpha"}});
  std::string before = readFileOrEmpty(path());
  ASSERT_TRUE(makeReadOnly(path()));
  PackageArchive archive(path().c_str());
  std::string text;
  EXPECT_TRUE(readAs(archive, "a", &text));
  plat::setLastError(0);
  EXPECT_FALSE(archive.relocateEntry("a", 24, 1));
  EXPECT_EQ(plat::lastError(), plat::kErrorAccessDenied);
  EXPECT_FALSE(archive.appendEntry(24, 2, 26, 5));
  EXPECT_EQ(plat::lastError(), plat::kErrorAccessDenied);
  EXPECT_EQ(readFileOrEmpty(path()), before);
}

}  // namespace
