// The archive reader and the two index rewrites, checked against the bytes
// of the file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive/archive_builder.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "tests/support/test_files.h"

namespace {

uint32_t getU32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

void setU32(std::string* bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string u32(uint32_t value) {
  std::string bytes(4, '\0');
  setU32(&bytes, 0, value);
  return bytes;
}

std::string record(uint32_t nameOffset, uint32_t nameLength, uint32_t dataOffset, uint32_t dataSize,
                   uint32_t reserved = 0) {
  return u32(nameOffset) + u32(nameLength) + u32(dataOffset) + u32(dataSize) + u32(reserved);
}

std::string header(uint32_t indexOffset, uint32_t indexSize) {
  return std::string("QRV001") + std::string("0123456789") + u32(indexOffset) + u32(indexSize);
}

std::string contentOf(const Content& content) { return std::string(content.bytes.get(), content.size); }

// Reads an entry, also checking the NUL after the content.
bool readAs(PackageArchive& archive, const char* name, std::string* text) {
  Content content;
  if (!archive.readEntry(name, &content)) return false;
  EXPECT_EQ(content.bytes[content.size], '\0');
  *text = contentOf(content);
  return true;
}

class ArchiveReaderTest : public ::testing::Test {
 protected:
  std::string path(const char* name = "pack.qrv") const { return folder / name; }
  void writeBytes(const std::string& bytes, const char* name = "pack.qrv") { ASSERT_TRUE(writeFile(path(name), bytes)); }
  void writeEntries(const std::vector<ArchiveBuilderEntry>& entries) {
    ASSERT_TRUE(writeArchiveFile(path().c_str(), entries));
  }
  TempFolder folder;
};

TEST_F(ArchiveReaderTest, ReadsEntriesWholeWithTrailingNul) {
  writeEntries({{"data\\a.txt", "alpha"}, {"b.bin", std::string("\0\x01\x02", 3)}, {"empty", ""}});
  PackageArchive archive(path().c_str());
  std::string text;
  ASSERT_TRUE(readAs(archive, "data\\a.txt", &text));
  EXPECT_EQ(text, "alpha");
  ASSERT_TRUE(readAs(archive, "b.bin", &text));
  EXPECT_EQ(text, std::string("\0\x01\x02", 3));
  ASSERT_TRUE(readAs(archive, "empty", &text));
  EXPECT_EQ(text, "");
  EXPECT_EQ(archive.loadedEntryCount(), 3);
}

TEST_F(ArchiveReaderTest, FailedReadLeavesOutputsUntouched) {
  writeEntries({{"a", "alpha"}});
  PackageArchive archive(path().c_str());
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

TEST_F(ArchiveReaderTest, FirstOfDuplicateNamesWins) {
  writeEntries({{"same", "first"}, {"SAME", "second"}, {"same", "third"}});
  PackageArchive archive(path().c_str());
  std::string text;
  ASSERT_TRUE(readAs(archive, "Same", &text));
  EXPECT_EQ(text, "first");
}

TEST_F(ArchiveReaderTest, MissingFileIsNotRetriedUntilAppend) {
  PackageArchive archive(path().c_str());
  std::string text;
  EXPECT_FALSE(readAs(archive, "a", &text));
  EXPECT_EQ(archive.indexState(), PackageArchive::IndexState::NotOpened);
  writeEntries({{"a", "alpha"}});
  EXPECT_FALSE(readAs(archive, "a", &text));  // the failed load stands
  // appendEntry clears the flag (whatever its outcome), so the next lookup loads again.
  std::string bytes = readFileOrEmpty(path());
  EXPECT_TRUE(archive.appendEntry(24, 2, 26, 5));
  ASSERT_TRUE(readAs(archive, "a", &text));
  EXPECT_EQ(text, "alpha");
}

TEST_F(ArchiveReaderTest, ShortFilesHaveNoEntries) {
  for (size_t length : {size_t{0}, size_t{6}, size_t{23}}) {
    writeBytes(header(24, 0).substr(0, length));
    PackageArchive archive(path().c_str());
    std::string text;
    EXPECT_FALSE(readAs(archive, "a", &text));
    EXPECT_EQ(archive.loadedEntryCount(), 0);
    EXPECT_EQ(archive.indexState(), PackageArchive::IndexState::NoHeader);
    EXPECT_FALSE(archive.relocateEntry("a", 0, 0));
    EXPECT_FALSE(archive.appendEntry(0, 0, 0, 0));
    EXPECT_EQ(readFileOrEmpty(path()), header(24, 0).substr(0, length));
  }
}

TEST_F(ArchiveReaderTest, IndexSizeCountsWholeRecordsOnly) {
  // indexSize 0: no entries; 30: one record and ten bytes of nothing.
  writeBytes(header(24, 0));
  EXPECT_EQ(PackageArchive(path().c_str()).loadedEntryCount(), 0);

  std::string bytes = header(0, 0) + std::string("a\0alpha", 7);
  setU32(&bytes, 16, static_cast<uint32_t>(bytes.size()));
  setU32(&bytes, 20, 30);
  bytes += record(24, 2, 26, 5) + std::string(10, '\x7F');
  writeBytes(bytes);
  PackageArchive archive(path().c_str());
  EXPECT_EQ(archive.loadedEntryCount(), 1);
  std::string text;
  ASSERT_TRUE(readAs(archive, "a", &text));
  EXPECT_EQ(text, "alpha");
}

TEST_F(ArchiveReaderTest, StoredNameEndsAtItsFirstNul) {
  // nameLength 6 covers "ab", a NUL and "cd" plus another NUL.
  std::string bytes = header(0, 0) + std::string("ab\0cd\0", 6) + "xyz";
  setU32(&bytes, 16, static_cast<uint32_t>(bytes.size()));
  setU32(&bytes, 20, 20);
  bytes += record(24, 6, 30, 3);
  writeBytes(bytes);
  PackageArchive archive(path().c_str());
  std::string text;
  EXPECT_TRUE(readAs(archive, "ab", &text));
  EXPECT_FALSE(readAs(archive, "abcd", &text));
  ASSERT_NE(archive.loadedEntry(0), nullptr);
  EXPECT_EQ(std::strlen(archive.loadedEntry(0)->name), 2u);
}

// Records that no writer of this system produces: what each one means.
TEST_F(ArchiveReaderTest, MalformedRecordsAreReadSafely) {
  std::string bytes = header(0, 0) + std::string("nonul") + std::string("good\0", 5) + "content";
  uint32_t fileEnd = static_cast<uint32_t>(bytes.size() + 6 * 20);
  setU32(&bytes, 16, static_cast<uint32_t>(bytes.size()));
  setU32(&bytes, 20, 6 * 20);
  bytes += record(24, 5, 34, 7);               // 0: no NUL: the whole field is the name
  bytes += record(29, 0, 34, 7);               // 1: nameLength 0: no name, never found
  bytes += record(fileEnd - 2, 5, 34, 7);      // 2: name runs past the end: no name
  bytes += record(29, 5, fileEnd - 3, 4);      // 3: "good", content past the end: unreadable
  bytes += record(29, 5, 34, 7);               // 4: "good" again, shadowed by record 3
  bytes += record(0xFFFFFFF0u, 0x20, 0xFFFFFFFFu, 0xFFFFFFFFu);  // 5: wrapped positions: nothing
  writeBytes(bytes);
  PackageArchive archive(path().c_str());
  EXPECT_EQ(archive.loadedEntryCount(), 6);
  EXPECT_EQ(archive.indexState(), PackageArchive::IndexState::Loaded);
  std::string text;
  ASSERT_TRUE(readAs(archive, "nonul", &text));
  EXPECT_EQ(text, "content");
  EXPECT_FALSE(readAs(archive, "", &text));
  EXPECT_EQ(archive.loadedEntry(1)->name, nullptr);
  EXPECT_EQ(archive.loadedEntry(2)->name, nullptr);
  EXPECT_EQ(archive.loadedEntry(5)->name, nullptr);
  EXPECT_TRUE(archive.holdsEntry("good"));
  EXPECT_FALSE(readAs(archive, "good", &text));
}

TEST_F(ArchiveReaderTest, IndexOutsideTheFileGivesNoEntries) {
  std::string body = std::string("a\0alpha", 7);
  for (uint32_t indexOffset : {uint32_t{31}, uint32_t{40}, uint32_t{0x80000000u}, uint32_t{0xFFFFFFF0u}}) {
    std::string bytes = header(indexOffset, 40) + body + record(24, 2, 26, 5);
    writeBytes(bytes);
    PackageArchive archive(path().c_str());
    EXPECT_EQ(archive.loadedEntryCount(), 0) << indexOffset;
    EXPECT_EQ(archive.indexState(), PackageArchive::IndexState::Malformed);
    EXPECT_FALSE(archive.appendEntry(24, 2, 26, 5));
    EXPECT_EQ(readFileOrEmpty(path()), bytes);
  }
}

TEST_F(ArchiveReaderTest, ManyRecordsSharingOneHugeNameAreRefused) {
  // 5,000 records all naming the same 64 KiB field would need 320 MB of names.
  std::string field(65536, 'n');
  std::string bytes = header(0, 0) + field;
  setU32(&bytes, 16, static_cast<uint32_t>(bytes.size()));
  setU32(&bytes, 20, 5000 * 20);
  for (int i = 0; i < 5000; ++i) bytes += record(24, 65536, 24, 1);
  writeBytes(bytes);
  PackageArchive archive(path().c_str());
  EXPECT_EQ(archive.loadedEntryCount(), 0);
  EXPECT_EQ(archive.indexState(), PackageArchive::IndexState::Malformed);
}

TEST_F(ArchiveReaderTest, NamesOutOfOrderAndFarApartAreAllFound) {
  // Names stored in the reverse of index order, with large gaps between
  // them, so that the name reads cannot be one run.
  std::string bytes = header(0, 0);
  std::string index;
  const int kCount = 40;
  std::vector<uint32_t> nameAt(kCount);
  for (int i = kCount - 1; i >= 0; --i) {
    nameAt[i] = static_cast<uint32_t>(bytes.size());
    bytes += "name" + std::to_string(i) + '\0';
    bytes += std::string(i % 3 == 0 ? 70000 : 10, static_cast<char>('a' + i % 26));
  }
  for (int i = 0; i < kCount; ++i) {
    uint32_t nameLength = static_cast<uint32_t>(("name" + std::to_string(i)).size() + 1);
    index += record(nameAt[i], nameLength, nameAt[i] + nameLength, 3);
  }
  setU32(&bytes, 16, static_cast<uint32_t>(bytes.size()));
  setU32(&bytes, 20, static_cast<uint32_t>(index.size()));
  bytes += index;
  writeBytes(bytes);
  PackageArchive archive(path().c_str());
  for (int i = 0; i < kCount; ++i) {
    std::string text;
    ASSERT_TRUE(readAs(archive, ("NAME" + std::to_string(i)).c_str(), &text)) << i;
    EXPECT_EQ(text, std::string(3, static_cast<char>('a' + i % 26)));
  }
}

TEST_F(ArchiveReaderTest, NamesSpanningMoreThanOneReadAreAllFound) {
  // About 2.5 MB of names and contents close together: read in several runs.
  std::vector<ArchiveBuilderEntry> entries;
  for (int i = 0; i < 40000; ++i)
    entries.push_back({"dir\\entry" + std::to_string(i) + ".bin", std::string(40 + i % 7, static_cast<char>(i))});
  writeEntries(entries);
  PackageArchive archive(path().c_str());
  ASSERT_EQ(archive.loadedEntryCount(), 40000);
  for (int i = 0; i < 40000; i += 997) {
    ASSERT_NE(archive.loadedEntry(i)->name, nullptr);
    EXPECT_EQ(archive.loadedEntry(i)->name, entries[i].name);
  }
  for (int i = 0; i < 40000; ++i) ASSERT_NE(archive.loadedEntry(i)->name, nullptr) << i;
  std::string text;
  ASSERT_TRUE(readAs(archive, "DIR\\ENTRY39999.BIN", &text));
  EXPECT_EQ(text, entries[39999].content);
}

// relocateEntry: bytes 8 to 15 of one record, nothing else.
TEST_F(ArchiveReaderTest, RelocateRewritesOnlyTheFirstMatchingRecord) {
  writeEntries({{"a", "alpha"}, {"dup", "one"}, {"DUP", "two"}});
  std::string before = readFileOrEmpty(path());
  ASSERT_TRUE(writeFile(path(), before + "NEWDATA"));
  std::string grown = readFileOrEmpty(path());
  uint32_t indexOffset = getU32(before, 16);
  PackageArchive archive(path().c_str());
  ASSERT_TRUE(archive.relocateEntry("Dup", static_cast<uint32_t>(before.size()), 7));
  std::string after = readFileOrEmpty(path());
  ASSERT_EQ(after.size(), grown.size());
  size_t recordAt = indexOffset + 20;
  for (size_t i = 0; i < after.size(); ++i) {
    if (i >= recordAt + 8 && i < recordAt + 16) continue;
    ASSERT_EQ(after[i], grown[i]) << "byte " << i;
  }
  EXPECT_EQ(getU32(after, recordAt + 8), before.size());
  EXPECT_EQ(getU32(after, recordAt + 12), 7u);
  std::string text;
  ASSERT_TRUE(readAs(archive, "dup", &text));  // the cache follows
  EXPECT_EQ(text, "NEWDATA");
  ASSERT_TRUE(readAs(*std::make_unique<PackageArchive>(path().c_str()), "dup", &text));
  EXPECT_EQ(text, "NEWDATA");
}

TEST_F(ArchiveReaderTest, RelocateRefusesContentOutsideTheFileOrAChangedIndex) {
  writeEntries({{"a", "alpha"}});
  std::string before = readFileOrEmpty(path());
  PackageArchive archive(path().c_str());
  EXPECT_FALSE(archive.relocateEntry("missing", 24, 1));
  EXPECT_FALSE(archive.relocateEntry("a", static_cast<uint32_t>(before.size()) - 2, 3));
  EXPECT_FALSE(archive.relocateEntry("a", 0x80000000u, 0));
  EXPECT_EQ(readFileOrEmpty(path()), before);

  // Someone else added an entry after the cache was read.
  ASSERT_TRUE(readFileOrEmpty(path()).size() > 0);
  PackageArchive other(path().c_str());
  uint32_t end = static_cast<uint32_t>(before.size());
  ASSERT_TRUE(writeFile(path(), before + std::string("b\0beta", 6)));
  ASSERT_TRUE(other.appendEntry(end, 2, end + 2, 4));
  std::string changed = readFileOrEmpty(path());
  EXPECT_FALSE(archive.relocateEntry("a", 26, 2));
  EXPECT_EQ(readFileOrEmpty(path()), changed);
}

// appendEntry: a new index of n + 1 records at the end, header bytes 16 to 23.
TEST_F(ArchiveReaderTest, AppendWritesWholeRecordsAndTheNewOneAtTheEnd) {
  for (uint32_t indexSize : {uint32_t{0}, uint32_t{20}, uint32_t{30}, uint32_t{39}}) {
    std::string bytes = header(0, 0) + std::string("a\0alpha", 7);
    setU32(&bytes, 16, static_cast<uint32_t>(bytes.size()));
    setU32(&bytes, 20, indexSize);
    std::string oldRecord = record(24, 2, 26, 5, 0xA5A5A5A5u);
    bytes += (oldRecord + std::string(19, '\x11')).substr(0, indexSize);
    uint32_t nameOffset = static_cast<uint32_t>(bytes.size());
    bytes += std::string("new\0", 4) + "NEW";
    writeBytes(bytes);

    PackageArchive archive(path().c_str());
    ASSERT_TRUE(archive.appendEntry(nameOffset, 4, nameOffset + 4, 3)) << indexSize;
    std::string after = readFileOrEmpty(path());
    uint32_t n = indexSize / 20;
    ASSERT_EQ(after.size(), bytes.size() + (n + 1) * 20);
    EXPECT_EQ(after.substr(0, 16), bytes.substr(0, 16));
    EXPECT_EQ(after.substr(24, bytes.size() - 24), bytes.substr(24));
    EXPECT_EQ(getU32(after, 16), bytes.size());
    EXPECT_EQ(getU32(after, 20), (n + 1) * 20);
    std::string expectedIndex = (n == 1 ? oldRecord : "") + record(nameOffset, 4, nameOffset + 4, 3, 0);
    EXPECT_EQ(after.substr(bytes.size()), expectedIndex);
    std::string text;
    ASSERT_TRUE(readAs(archive, "NEW", &text));
    EXPECT_EQ(text, "NEW");
    EXPECT_EQ(archive.loadedEntryCount(), static_cast<int32_t>(n + 1));
  }
}

TEST_F(ArchiveReaderTest, AppendRefusesARecordOutsideTheFile) {
  writeEntries({{"a", "alpha"}});
  std::string before = readFileOrEmpty(path());
  uint32_t end = static_cast<uint32_t>(before.size());
  PackageArchive archive(path().c_str());
  EXPECT_FALSE(archive.appendEntry(end, 2, 24, 1));
  EXPECT_FALSE(archive.appendEntry(24, 2, end - 1, 2));
  EXPECT_EQ(readFileOrEmpty(path()), before);
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
