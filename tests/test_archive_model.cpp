// The archive against a reference model: random sequences of insertions,
// changes by other writers and reads over a few archives, each step checked
// byte for byte. The model is the file's bytes and the format's rules for
// reading, replacing and adding, written apart from the code.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "archive/archive_builder.h"
#include "archive/archive_update.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_state.h"
#include "tests/support/fault_plan.h"
#include "tests/support/run_reset.h"
#include "tests/support/test_files.h"

namespace {

std::string u32(size_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
  return bytes;
}
std::string record(uint32_t nameOffset, uint32_t nameLength, uint32_t dataOffset, uint32_t dataSize) {
  return u32(nameOffset) + u32(nameLength) + u32(dataOffset) + u32(dataSize) + u32(0);
}
std::string header(uint32_t indexOffset, uint32_t indexSize) {
  return "QRV001" + std::string(10, '-') + u32(indexOffset) + u32(indexSize);
}

// An archive as its bytes, read and changed by the format's rules.
struct ArchiveModel {
  std::string bytes;

  uint32_t at(size_t offset) const {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
    return value;
  }
  void put(size_t offset, size_t value) { bytes.replace(offset, 4, u32(value)); }
  uint32_t end() const { return static_cast<uint32_t>(bytes.size()); }
  int count() const { return static_cast<int>(at(20) / 20); }
  uint32_t field(int record, int field) const { return at(at(16) + 20 * record + 4 * field); }
  std::string name(int record) const {
    std::string stored = bytes.substr(field(record, 0), field(record, 1));
    return stored.substr(0, stored.find('\0'));
  }
  std::string content(int record) const { return bytes.substr(field(record, 2), field(record, 3)); }
  int find(const std::string& name) const {
    auto folded = [](std::string text) {
      for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c;
      return text;
    };
    for (int i = 0; i < count(); ++i)
      if (folded(this->name(i)) == folded(name)) return i;
    return -1;
  }
  void replace(int record, const std::string& content) {
    put(at(16) + 20 * record + 8, end());
    put(at(16) + 20 * record + 12, content.size());
    bytes += content;
  }
  void add(const std::string& name, const std::string& content) {
    std::string index = bytes.substr(at(16), 20 * count()) + u32(end()) + u32(name.size() + 1) +
                        u32(end() + name.size() + 1) + u32(content.size()) + u32(0);
    bytes += name + '\0' + content;
    put(16, end());
    put(20, index.size());
    bytes += index;
  }
  // One insertion of a source (none: missing): the result, and whether the
  // archive changed. An absent entry counts as empty content; `unreadable`:
  // the stored content could not be read to compare, so it is replaced.
  bool insert(const std::string& entry, const std::string* source, bool* changed, bool unreadable = false) {
    int record = find(entry);
    std::string old = record < 0 ? "" : content(record);
    *changed = false;
    if (!source || (*source == old && !(unreadable && record >= 0))) return !source ? old.empty() : true;
    if (record >= 0) replace(record, *source);
    if (record < 0) add(entry, *source);
    return *changed = true;
  }
};

// Names folded and not, double-byte ones among them: "ソ表" ends its bytes in
// 0x5C, "ア" (83 41) and "チ" (83 61) differ only in a trail byte that folds,
// A3 41 differs from "ア" in a lead byte, C1 is no letter.
const std::vector<std::string> kNames = {
    "a.txt", "Dup", "dup", "data\\" + kSoHyou + ".bin", "\x83\x41", "\x83\x61", "\xA3\x41", "abc\xC1", "x_y",
    "data\\scene\\long-name-0001.txt", "DATA\\scene\\long-name-0002.txt", kSoHyou};

class ArchiveModelTest : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    resetRunState();
    contentHeldWholeLimit = 8;  // most contents are located and streamed
  }
  void TearDown() override {
    contentHeldWholeLimit = kContentPieceSize;
    forgetTargetArchives();
    resetRunState();
  }

  std::string text(size_t length) {
    std::string bytes;
    while (bytes.size() < length) bytes.push_back(static_cast<char>(random()));
    return bytes;
  }
  std::string content() { return text(random() % 3 == 0 ? 0 : random() % 40); }
  // A name of the pool or of the archive, some ASCII letters flipped.
  std::string someName(const ArchiveModel* model = nullptr) {
    std::string name = model && model->count() > 0 && random() % 2 ? model->name(random() % model->count())
                                                                   : kNames[random() % kNames.size()];
    for (char& c : name) c ^= (c | 0x20) >= 'a' && (c | 0x20) <= 'z' && random() % 3 == 0 ? 0x20 : 0;
    return name;
  }

  // An archive as other writers may lay it out: any header filler,
  // unreferenced bytes (sometimes more than a name read bridges), names
  // with bytes after their NUL, contents on both sides of the index,
  // records in any order with reserved fields set, and a partial record at
  // the end of the index.
  ArchiveModel randomArchive() {
    int entries = static_cast<int>(random() % 7);
    int indexAt = static_cast<int>(random() % (entries + 1));
    uint32_t partial = random() % 3 == 0 ? random() % 20 : 0;
    ArchiveModel model{"QRV001" + text(10) + u32(0) + u32(20 * entries + partial)};
    std::vector<std::string> records;
    for (int i = 0; i <= entries; ++i) {
      if (i == indexAt) model.put(16, model.end());
      if (i == indexAt) model.bytes += std::string(20 * entries + partial, '\0');
      if (i == entries) break;
      model.bytes += text(random() % 4 == 0 ? random() % 5 : random() % 8 == 0 ? 5000 : 0);
      std::string name = someName() + '\0' + (random() % 4 == 0 ? std::string("old\0", 4) : "");
      std::string data = content();
      records.push_back(u32(model.end()) + u32(name.size()) + u32(model.end() + name.size()) + u32(data.size()) +
                        u32(random()));
      model.bytes += name + data;
    }
    std::shuffle(records.begin(), records.end(), random);
    std::string index = text(partial);
    for (const std::string& record : records) index.insert(index.size() - partial, record);
    model.bytes.replace(model.at(16), index.size(), index);
    return model;
  }

  // The file holds the model's bytes, and a fresh reader (and `reader`,
  // when given) reads the records and an entry as the model does.
  void checkArchive(const std::string& path, const ArchiveModel& model, PackageArchive* reader = nullptr) {
    ASSERT_EQ(readFileOrEmpty(path), model.bytes) << path;
    PackageArchive fresh(path.c_str());
    ASSERT_EQ(fresh.loadedEntryCount(), model.count());
    for (int i = 0; i < model.count(); ++i) {
      EXPECT_EQ(fresh.loadedEntry(i)->name, model.name(i)) << i;
      EXPECT_EQ(fresh.loadedEntry(i)->dataOffset, model.field(i, 2)) << i;
      EXPECT_EQ(fresh.loadedEntry(i)->dataSize, model.field(i, 3)) << i;
    }
    for (PackageArchive* archive : {&fresh, reader}) {
      std::string name = someName(&model);
      int record = model.find(name);
      Content content;
      content.size = 12345;
      if (!archive) continue;
      ASSERT_EQ(archive->readEntry(name.c_str(), &content), record >= 0) << name;
      EXPECT_EQ(content.size, record < 0 ? 12345u : model.field(record, 3));
      if (record < 0) continue;
      EXPECT_EQ(content.located, content.size > contentHeldWholeLimit);
      EXPECT_TRUE(!content.bytes || content.bytes[content.size] == '\0');
      std::string read;
      ContentReader pieces(content);
      const char* piece = nullptr;
      for (uint32_t count = 1; count > 0 && pieces.next(&piece, &count);) read.append(piece, count);
      EXPECT_TRUE(pieces.finish());
      EXPECT_EQ(read, model.content(record)) << name;
    }
  }

  std::mt19937 random{GetParam()};
  TempFolder folder;
};

TEST_P(ArchiveModelTest, RandomSequencesMatchTheModel) {
  // Three targets: insertions keep the index of two at most, so a kept
  // index is sometimes used and sometimes loaded afresh.
  std::vector<ArchiveModel> models;
  std::vector<std::vector<std::string>> headers(3);
  for (int t = 0; t < 3; ++t) models.push_back(randomArchive());
  ArchiveModel package = randomArchive();
  CurrentDirectory here(folder.path());
  for (int t = 0; t < 3; ++t) ASSERT_TRUE(writeFile(std::to_string(t), models[t].bytes));
  ASSERT_TRUE(writeFile("pack", package.bytes));
  checkArchive("pack", package);
  int changed = 0;
  for (int step = 0; step < 150; ++step) {
    SCOPED_TRACE("seed " + std::to_string(GetParam()) + ", step " + std::to_string(step));
    int t = static_cast<int>(random() % 3);
    ArchiveModel& model = models[t];
    std::string path = std::to_string(t);
    headers[t].push_back(model.bytes.substr(16, 8));
    std::unique_ptr<PackageArchive> writer;
    int operation = static_cast<int>(random() % 10);
    if (operation < 6) {
      // An insertion; its source from the package when one is selected and
      // lists the name, else from the loose file of that name, if any.
      runState.currentPackage.reset(random() % 2 ? new PackageArchive("pack") : nullptr);
      std::string source = runState.currentPackage && random() % 2 ? someName(&package) : "loose";
      std::string bytes = random() % 4 == 0 && model.count() > 0 ? model.content(random() % model.count()) : content();
      bool present = random() % 6 != 0;
      ASSERT_TRUE(present ? writeFile("loose", bytes) : plat::deleteFile("loose") || true);
      int record = source == "loose" ? -1 : package.find(source);
      if (source != "loose") present = record >= 0;
      if (source != "loose") bytes = present ? package.content(record) : "";
      std::string entry = someName(&model);
      ArchiveModel expected = model;
      bool grows = false;
      bool result = expected.insert(entry, present ? &bytes : nullptr, &grows);
      // Sometimes the k-th read or write fails: the insertion then succeeds
      // whole (a stored content it could not read replaced) or leaves the
      // archive as it was, with a code.
      auto plan = std::make_unique<FaultPlan>(FaultPlan::kReads | FaultPlan::kWrites,
                                              operation == 5 ? static_cast<int>(1 + random() % 12) : 0,
                                              FaultPlan::Spoil::Fail);
      plat::setLastError(0);
      bool inserted = insertIntoArchive(path.c_str(), source.c_str(), entry.c_str());
      uint32_t error = plat::lastError();
      bool spoiled = plan->reached();
      plan.reset();
      ASSERT_TRUE(spoiled && !inserted ? true : inserted == result) << entry;
      bool missing = error == plat::kErrorFileNotFound || error == plat::kErrorPathNotFound;
      EXPECT_TRUE(inserted || missing || (spoiled && error)) << error;
      if (inserted && spoiled && readFileOrEmpty(path) != expected.bytes) {
        expected = model;
        expected.insert(entry, present ? &bytes : nullptr, &grows, true);
      }
      if (inserted) model = expected;
      changed += grows && inserted;
      ASSERT_EQ(runState.changedFileCount, changed);
    } else if (operation < 8) {
      // Another writer, the format's way: new content for an entry, or a
      // new entry (a second one, perhaps, of a name that is there).
      std::string bytes = content();
      std::string name = someName(&model);
      int record = model.find(name);
      bool relocate = record >= 0 && random() % 4;
      uint32_t end = model.end();
      uint32_t size = static_cast<uint32_t>(bytes.size());
      uint32_t nameLength = relocate ? 0 : static_cast<uint32_t>(name.size() + 1);
      writer = std::make_unique<PackageArchive>(path.c_str());
      ASSERT_TRUE(writeFile(path, model.bytes + (relocate ? "" : name + '\0') + bytes));
      ASSERT_TRUE(relocate ? writer->relocateEntry(name.c_str(), end, size)
                           : writer->appendEntry(end, nameLength, end + nameLength, size));
      relocate ? model.replace(record, bytes) : model.add(name, bytes);
    } else if (operation == 8) {
      // Another writer changes the file in place: an older header put back
      // (the size stays, the index is an older one), or the name fields of
      // two records swapped (the size and the header stay).
      if (random() % 2) model.bytes.replace(16, 8, headers[t][random() % headers[t].size()]);
      uint32_t first = model.at(16) + 20 * static_cast<uint32_t>(random() % std::max(model.count(), 1));
      uint32_t second = model.at(16) + 20 * static_cast<uint32_t>(random() % std::max(model.count(), 1));
      std::string fields = model.bytes.substr(first, 8);
      if (model.count() > 1) model.bytes.replace(first, 8, model.bytes.substr(second, 8));
      if (model.count() > 1) model.bytes.replace(second, 8, fields);
      ASSERT_TRUE(writeFile(path, model.bytes));
    } else {
      forgetTargetArchives();
    }
    for (int other = 0; other < 3; ++other)
      checkArchive(std::to_string(other), models[other], other == t ? writer.get() : nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ArchiveModelTest, ::testing::Range(1u, 9u));

// The file's bytes, or its size when it is too large to read whole.
std::string fileState(const std::string& path) {
  plat::File file;
  uint64_t size = 0;
  if (!file.open(path.c_str(), plat::kGenericRead, plat::kShareRead | plat::kShareWrite, plat::kOpenExisting) ||
      !file.size(&size))
    return "<none>";
  return size > (1u << 20) ? std::to_string(size) : readFileOrEmpty(path);
}

// An entry's content, "<absent>", or "<unreadable>" for one that is
// listed but cannot be read.
std::string entryText(PackageArchive& archive, const std::string& name) {
  Content content;
  if (!archive.readEntry(name.c_str(), &content)) return archive.holdsEntry(name.c_str()) ? "<unreadable>" : "<absent>";
  return std::string(content.bytes.get(), content.size);
}

// Insertions that cannot be made, or only with care, each with its code:
// the archive stays as it was; code 0: "new" is in.
TEST(ArchiveRefusalTest, InsertionsThatCannotBeMadeLeaveTheArchiveWithACode) {
  resetRunState();
  TempFolder folder;
  CurrentDirectory here(folder.path());
  ASSERT_TRUE(writeFile("src", "new") && writeFile("text", "This text is no archive.\r\n"));
  std::string bad = buildArchiveBytes({{"src", "xy"}});
  ASSERT_TRUE(writeFile("bad", bad.replace(bad.size() - 8, 4, u32(1000))));  // its content past the end
  // "a.txt" (alpha) and a second record from byte 35.
  auto twoRecords = [](const std::string& second) {
    return header(35, static_cast<uint32_t>(20 + second.size())) + std::string("a.txt\0alpha", 11) +
           record(24, 6, 30, 5) + second;
  };
  std::string n39(39, 'n');
  std::string shared = header(68, 2000) + n39 + '\0' + "data";
  for (int i = 0; i < 100; ++i) shared += record(24, 40, 64, 4);
  plat::File holder;
  struct Row {
    const char* title;
    std::string bytes;
    std::vector<std::string> entries;
    uint32_t error;
    std::function<void(const std::string&)> before;
  };
  std::vector<Row> rows = {
      {"shorter than its header", "QRV001short", {"n"}, plat::kErrorHandleEof, nullptr},
      {"index past the end", header(35, 500), {"a.txt", "n"}, kErrorInvalidData, nullptr},
      {"a name in its own record", twoRecords(record(55, 2, 30, 5)), {"a.txt", "n"}, kErrorInvalidData, nullptr},
      {"a name in another record", twoRecords(record(43, 2, 30, 5)), {"a.txt", "n"}, kErrorInvalidData, nullptr},
      {"a name in the header", twoRecords(record(16, 4, 30, 5)), {"a.txt", "n"}, kErrorInvalidData, nullptr},
      {"a name past the end", twoRecords(record(75, 2, 30, 5)), {"a.txt", "n"}, kErrorInvalidData, nullptr},
      {"content over the index", twoRecords(record(24, 6, 24, 40)), {"a.txt", "n"}, kErrorInvalidData, nullptr},
      {"content over the index fields", twoRecords(record(24, 6, 0, 20)), {"a.txt", "n"}, kErrorInvalidData, nullptr},
      {"records sharing one name", shared, {n39, "n"}, 0, nullptr},
      {"content past the end: replaced", twoRecords(record(24, 6, 30, 5000)), {"a.txt"}, 0, nullptr},
      {"missing", "", {"a.txt"}, plat::kErrorFileNotFound, nullptr},
      {"held open by a writer", twoRecords(""), {"a.txt"}, plat::kErrorSharingViolation,
       [&](const std::string& path) {
         ASSERT_TRUE(holder.open(path.c_str(), plat::kGenericWrite, plat::kShareRead | plat::kShareWrite,
                                 plat::kOpenExisting));
       }},
      {"a source its package lists but cannot read", twoRecords(""), {"a.txt", "n"}, plat::kErrorHandleEof,
       [](const std::string&) { runState.currentPackage = std::make_unique<PackageArchive>("bad"); }},
      {"a package that is no archive: the loose file", twoRecords(""), {"a.txt"}, 0,
       [](const std::string&) { runState.currentPackage = std::make_unique<PackageArchive>("text"); }},
  };
  // Positions are sought as signed 32-bit distances: 2 GiB and more, or a
  // change that would reach it, is refused (sparse files).
  for (uint64_t size : {uint64_t{0x80000000u}, uint64_t{0x7FFFFFFFu} - 2, uint64_t{0x100002000u}})
    rows.push_back({"2 GiB", twoRecords(""), {"a.txt", "n"}, plat::kErrorFileTooLarge, [size](const std::string& path) {
                      plat::File file;
                      ASSERT_TRUE(file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting));
                      ASSERT_TRUE(file.seek(static_cast<int64_t>(size - 1), plat::SeekOrigin::Begin));
                      ASSERT_TRUE(file.writeExactly("z", 1));
                    }});
  if (readOnlyAttributeHolds())
    rows.push_back({"read-only", twoRecords(""), {"a.txt", "n"}, plat::kErrorAccessDenied,
                    [](const std::string& path) { ASSERT_TRUE(makeReadOnly(path)); }});
  int files = 0;
  for (Row& row : rows) {
    for (const std::string& entry : row.entries) {
      SCOPED_TRACE(std::string(row.title) + ", " + entry);
      std::string path = std::to_string(++files);
      ASSERT_TRUE(row.bytes.empty() || writeFile(path, row.bytes));
      if (row.before) row.before(path);
      std::string before = fileState(path);
      plat::setLastError(0);
      EXPECT_EQ(insertIntoArchive(path.c_str(), "src", entry.c_str()), row.error == 0);
      EXPECT_EQ(plat::lastError(), row.error);
      holder.close();
      runState.currentPackage.reset();
      PackageArchive archive(path.c_str());
      EXPECT_TRUE(row.error ? fileState(path) == before : entryText(archive, entry) == "new");
    }
  }
  forgetTargetArchives();
  resetRunState();
}

// Reading layouts that no writer of this system makes, and the index
// rewrites refusing what they cannot do safely.
TEST(ArchiveRefusalTest, LayoutsNoWriterMakesAndRewritesThatCannotBeMade) {
  TempFolder folder;
  CurrentDirectory here(folder.path());
  std::string body = std::string("nonul") + std::string("good\0", 5) + "content";  // from byte 24
  uint32_t end = 24 + 17 + 6 * 20;
  std::string odd = header(41, 120) + body + record(24, 5, 34, 7) + record(29, 0, 34, 7) +
                    record(end - 2, 5, 34, 7) + record(29, 5, end - 3, 4) + record(29, 5, 34, 7) +
                    record(0xFFFFFFF0u, 0x20, 0xFFFFFFFFu, 0xFFFFFFFFu);
  // 5,000 records on one 64 KiB name without a NUL cost one copy; 5,000
  // distinct overlapping ones would need 320 MB from a file of 160 KB.
  std::string sharing = header(24 + 65536 + 1, 100000) + std::string(65536, 'n') + "x";
  std::string overlapping = sharing;
  for (uint32_t i = 0; i < 5000; ++i) sharing += record(24, 65536, 24, 1);
  for (uint32_t i = 0; i < 5000; ++i) overlapping += record(24, 65536 - i, 24, 1);
  std::vector<ArchiveBuilderEntry> many;
  for (int i = 0; i < 20000; ++i) many.push_back({"dir\\entry" + std::to_string(i), std::string(50, 'c')});
  struct Row {
    std::string bytes;
    int count;
    PackageArchive::IndexState state;
    std::vector<std::pair<std::string, std::string>> reads;
  };
  using State = PackageArchive::IndexState;
  for (const Row& row : std::vector<Row>{
           {"QRV001", 0, State::NoHeader, {{"a", "<absent>"}}},
           {header(31, 40) + std::string("a\0alpha", 7) + record(24, 2, 26, 5), 0, State::Malformed, {}},
           {header(0x80000000u, 20) + record(24, 2, 26, 5), 0, State::Malformed, {}},
           {odd, 6, State::Loaded, {{"NONUL", "content"}, {"", "<absent>"}, {"good", "<unreadable>"}}},
           {sharing, 5000, State::Loaded, {{std::string(65536, 'N'), "n"}}},
           {buildArchiveBytes(many), 20000, State::Loaded, {{"DIR\\ENTRY19999", std::string(50, 'c')}}}}) {
    ASSERT_TRUE(writeFile("a", row.bytes));
    PackageArchive archive("a");
    EXPECT_EQ(archive.loadedEntryCount(), row.count);
    EXPECT_EQ(archive.indexState(), row.state);
    for (const auto& [name, text] : row.reads) EXPECT_EQ(entryText(archive, name), text) << name.substr(0, 9);
    EXPECT_TRUE(row.count > 0 || (!archive.relocateEntry("a", 24, 2) && !archive.appendEntry(24, 2, 26, 1)));
    EXPECT_TRUE(readFileOrEmpty("a") == row.bytes);
  }
  ASSERT_TRUE(writeFile("a", overlapping));
  plat::setLastError(0);
  EXPECT_EQ(PackageArchive("a").loadedEntryCount(), 0);
  EXPECT_EQ(plat::lastError(), kErrorInvalidData);
}

}  // namespace
