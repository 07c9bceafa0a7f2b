// The archive against a reference model: random sequences of insertions,
// changes by other writers and reads over a few archives, each step checked
// byte for byte. The model is the file's bytes and the format's rules for
// reading, replacing and adding, written apart from the code. Then what a
// model cannot say: refusals with their codes, and layouts no writer makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "archive/archive_update.h"
#include "archive/package_archive.h"
#include "platform/platform.h"
#include "run/run_state.h"
#include "tests/support/fault_plan.h"
#include "tests/support/run_reset.h"
#include "tests/support/test_files.h"

namespace {

std::string u32(size_t value) {  // little-endian, as on every machine this runs on
  uint32_t word = static_cast<uint32_t>(value);
  return std::string(reinterpret_cast<const char*>(&word), 4);
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

  uint32_t at(size_t offset) const { uint32_t value = 0; std::memcpy(&value, bytes.data() + offset, 4); return value; }
  uint32_t end() const { return static_cast<uint32_t>(bytes.size()); }
  int count() const { return static_cast<int>(at(20) / 20); }
  uint32_t field(int record, int field) const { return at(at(16) + 20 * record + 4 * field); }
  // The bytes before the first NUL of the stored field.
  std::string name(int record) const { return bytes.substr(field(record, 0), field(record, 1)).c_str(); }
  std::string content(int record) const { return bytes.substr(field(record, 2), field(record, 3)); }
  int find(std::string name) const {
    auto fold = [](std::string text) {
      for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c;
      return text;
    };
    for (int i = 0; i < count(); ++i)
      if (fold(this->name(i)) == fold(name)) return i;
    return -1;
  }
  void replace(int record, const std::string& content) {
    bytes.replace(at(16) + 20 * record + 8, 8, u32(end()) + u32(content.size()));
    bytes += content;
  }
  void add(const std::string& name, const std::string& content) {
    std::string index = bytes.substr(at(16), 20 * count()) + u32(end()) + u32(name.size() + 1) +
                        u32(end() + name.size() + 1) + u32(content.size()) + u32(0);
    bytes += name + '\0' + content;
    bytes.replace(16, 8, u32(end()) + u32(index.size()));
    bytes += index;
  }
  // One insertion of a source (none: missing): the result, and whether the
  // archive changed. An absent entry counts as empty content; `unreadable`:
  // the stored content could not be read to compare, so it is replaced.
  bool insert(const std::string& entry, const std::string* source, bool* changed, bool unreadable = false) {
    int record = find(entry);
    std::string old = record < 0 ? "" : content(record);
    *changed = false;
    if (!source || (*source == old && !(unreadable && record >= 0))) return source || old.empty();
    record < 0 ? add(entry, *source) : replace(record, *source);
    return *changed = true;
  }
};

// Names folded and not, double-byte ones among them: "ソ表" ends its bytes in
// 0x5C, "ア" (83 41) and "チ" (83 61) differ only in a trail byte that folds,
// A3 41 differs from "ア" in a lead byte, C1 is no letter, and "@[" and
// "`{" are the neighbours of the letters, 0x20 apart but not letters.
const std::vector<std::string> kNames = {
    "a.txt", "Dup", "dup", "data\\" + kSoHyou + ".bin", "\x83\x41", "\x83\x61", "\xA3\x41", "abc\xC1", "x_y", "z@[",
    "data\\scene\\long-name-0001.txt", "DATA\\scene\\long-name-0002.txt", "data\\scenx\\long-name-0001.txt",
    kSoHyou, "Z`{"};

// An entry's content, "<absent>", or "<unreadable>" for one that is listed
// but cannot be read; read piece by piece when it is only located.
std::string entryText(PackageArchive& archive, const std::string& name) {
  Content content;
  content.size = 12345;  // a failed read leaves it
  if (!archive.readEntry(name.c_str(), &content, runState.contentLimits))
    return content.size != 12345 ? "<changed>" : archive.holdsEntry(name.c_str()) ? "<unreadable>" : "<absent>";
  EXPECT_EQ(content.located, content.size > runState.contentLimits.piece);
  EXPECT_TRUE(!content.bytes || content.bytes[content.size] == '\0');
  std::string read;
  ContentReader pieces(content);
  const char* piece = nullptr;
  for (uint32_t count = 1; count > 0 && pieces.next(&piece, &count);) read.append(piece, count);
  EXPECT_TRUE(pieces.finish());
  return read;
}

class ArchiveModelTest : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override { runState.contentLimits.piece = 8; }  // most contents are located and streamed
  void TearDown() override { resetRunState(); }  // it lets go of kept target indexes too

  std::string text(size_t n) { std::string b(n, '\0'); for (char& c : b) c = static_cast<char>(random()); return b; }
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
      if (i == indexAt) model.bytes.replace(16, 4, u32(model.end()));
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

  // The file holds the model's bytes, and a fresh reader reads the records
  // and an entry as the model does.
  void checkArchive(const std::string& path, const ArchiveModel& model) {
    ASSERT_EQ(readFileOrEmpty(path), model.bytes) << path;
    PackageArchive fresh(path.c_str());
    ASSERT_EQ(fresh.loadedEntryCount(), model.count());
    EXPECT_TRUE(!fresh.loadedEntry(-1) && !fresh.loadedEntry(model.count()));
    for (int i = 0; i < model.count(); ++i) {
      const ArchiveEntryInfo& info = *fresh.loadedEntry(i);
      EXPECT_TRUE(info.name == model.name(i) && info.dataOffset == model.field(i, 2) &&
                  info.dataSize == model.field(i, 3));
    }
    std::string name = someName(&model);
    int record = model.find(name);
    EXPECT_EQ(entryText(fresh, name), record < 0 ? "<absent>" : model.content(record)) << name;
  }

  std::mt19937 random{GetParam()};
  TempFolder folder;
};

TEST_P(ArchiveModelTest, RandomSequencesMatchTheModel) {
  // Three targets: the run holds the last one it changed, so its index is
  // sometimes used again and sometimes loaded afresh.
  std::vector<ArchiveModel> models = {randomArchive(), randomArchive(), randomArchive()};
  std::vector<std::vector<std::string>> headers(3);
  ArchiveModel package = randomArchive();
  CurrentDirectory here(folder.path());
  runState.targetFolders.reset(folder.path());
  runState.updateFolder.holdCurrentFolder();
  int held = -1;  // the target the run holds
  for (int t = 0; t < 3; ++t) ASSERT_TRUE(writeFile(std::to_string(t), models[t].bytes));
  ASSERT_TRUE(writeFile("pack", package.bytes));
  int changed = 0;
  for (int step = 0; step < 120; ++step) {
    SCOPED_TRACE("seed " + std::to_string(GetParam()) + ", step " + std::to_string(step));
    int t = static_cast<int>(random() % 3);
    ArchiveModel& model = models[t];
    std::string path = std::to_string(t);
    headers[t].push_back(model.bytes.substr(16, 8));
    int operation = static_cast<int>(random() % 10);
    if (operation < 6) {
      // An insertion; its source from the package when one is selected and
      // lists the name, else from the loose file of that name, if any.
      runState.currentPackage.reset(random() % 2 ? new PackageArchive("pack") : nullptr);
      bool fromPackage = runState.currentPackage && random() % 2;
      std::string source = fromPackage ? someName(&package) : "loose";
      std::string bytes = random() % 4 == 0 && model.count() > 0 ? model.content(random() % model.count()) : content();
      bool present = fromPackage ? package.find(source) >= 0 : random() % 6 != 0;
      ASSERT_TRUE(present && !fromPackage ? writeFile("loose", bytes) : plat::deleteFile("loose") || true);
      if (fromPackage) bytes = present ? package.content(package.find(source)) : "";
      std::string entry = someName(&model);
      ArchiveModel expected = model;
      bool grows = false;
      bool result = expected.insert(entry, present ? &bytes : nullptr, &grows);
      // Sometimes the k-th read or write fails: the insertion then succeeds
      // whole (a stored content it could not read replaced) or leaves the
      // archive as it was, with a code.
      int k = operation == 5 ? static_cast<int>(1 + random() % 12) : 0;
      auto plan = std::make_unique<FaultPlan>(FaultPlan::kReads | FaultPlan::kWrites, k, FaultPlan::Spoil::Fail);
      if (k % 2) plan->withoutViews();  // the names then read field by field
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
      held = inserted ? t : -1;
      changed += grows && inserted;
      ASSERT_EQ(runState.changedFileCount, changed);
    } else if (operation < 9) {
      // Another writer cannot open the target the run holds; once the run
      // has moved on, it writes the format's way: new content for an entry,
      // or a new entry (a second one, perhaps, of a name that is there); or
      // in place: an older header put back (the size stays, the index is an
      // older one), and the name fields of two records swapped (the size
      // and the header stay).
      plat::File writer;
      EXPECT_EQ(writer.open(path.c_str(), plat::kGenericWrite, plat::kShareRead | plat::kShareWrite, plat::kOpenExisting),
                held != t);
      EXPECT_TRUE(held != t || plat::lastError() == plat::kErrorSharingViolation);
      writer.close();
      if (held == t) {
        releaseTargetArchive();
        held = -1;
      }
      std::string name = someName(&model);
      int record = model.find(name);
      if (operation < 8) record >= 0 && random() % 4 ? model.replace(record, content()) : model.add(name, content());
      if (operation == 8 && random() % 2) model.bytes.replace(16, 8, headers[t][random() % headers[t].size()]);
      uint32_t first = model.at(16) + 20 * static_cast<uint32_t>(random() % std::max(model.count(), 1));
      uint32_t second = model.at(16) + 20 * static_cast<uint32_t>(random() % std::max(model.count(), 1));
      if (operation == 8 && model.count() > 1)
        std::swap_ranges(model.bytes.begin() + first, model.bytes.begin() + first + 8, model.bytes.begin() + second);
      ASSERT_TRUE(writeFile(path, model.bytes));
    } else {
      releaseTargetArchive();
      held = -1;
    }
    // Every other check reads the names one run at a time, as from a
    // volume that is never mapped.
    FaultPlan reading(0, 0, FaultPlan::Spoil::Count);
    if (step % 2) reading.withoutViews();
    for (int other = 0; other < 3; ++other)
      checkArchive(std::to_string(other), models[other]);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ArchiveModelTest, ::testing::Range(1u, 9u));

// The file's bytes, or its size when it is too large to read whole.
std::string fileState(const std::string& path) {
  plat::File file;
  uint64_t size = 0;
  bool sized = file.open(path.c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting) && file.size(&size);
  return !sized ? "<none>" : size > (1u << 20) ? std::to_string(size) : readFileOrEmpty(path);
}

// Insertions that cannot be made, or only with care, each with its code:
// the archive stays as it was; code 0: "new" is in.
TEST(ArchiveRefusalTest, InsertionsThatCannotBeMadeLeaveTheArchiveWithACode) {
  TempFolder folder;
  CurrentDirectory here(folder.path());
  runState.targetFolders.reset(folder.path());
  runState.updateFolder.holdCurrentFolder();
  ASSERT_TRUE(writeFile("src", "new") && writeFile("text", "This text is no archive.\r\n"));
  std::string bad = archiveBytes({{"src", "xy"}});
  ASSERT_TRUE(writeFile("bad", bad.replace(bad.size() - 8, 4, u32(1000))));  // its content past the end
  auto withRecord = [](const std::string& second) {  // "a.txt" (alpha), its record and `second` from 35
    return header(35, static_cast<uint32_t>(20 + second.size())) + std::string("a.txt\0alpha", 11) +
           record(24, 6, 30, 5) + second;
  };
  std::string shared = header(68, 2000) + std::string(39, 'n') + '\0' + "data";
  for (int i = 0; i < 100; ++i) shared += record(24, 40, 64, 4);
  const std::vector<std::string> both = {"a.txt", "n"};
  // Title, target, entries, code, package, and a size the target is made
  // by writing its last byte only.
  std::vector<std::tuple<const char*, std::string, std::vector<std::string>, uint32_t, const char*, uint64_t>> rows = {
      {"shorter than its header", "QRV001short", {"n"}, plat::kErrorHandleEof, nullptr, 0},
      {"index past the end", header(35, 500), both, kErrorInvalidData, nullptr, 0},
      {"a name in its own record", withRecord(record(55, 2, 30, 5)), both, kErrorInvalidData, nullptr, 0},
      {"a name in another record", withRecord(record(43, 2, 30, 5)), both, kErrorInvalidData, nullptr, 0},
      {"a name in the header", withRecord(record(16, 4, 30, 5)), both, kErrorInvalidData, nullptr, 0},
      {"a name past the end", withRecord(record(75, 2, 30, 5)), both, kErrorInvalidData, nullptr, 0},
      {"content over the index", withRecord(record(24, 6, 24, 40)), both, kErrorInvalidData, nullptr, 0},
      {"content over the index fields", withRecord(record(24, 6, 0, 20)), both, kErrorInvalidData, nullptr, 0},
      {"content right after the header", withRecord(record(30, 5, 24, 6)), both, 0, nullptr, 0},
      {"records sharing one name", shared, {std::string(39, 'N'), "n"}, 0, nullptr, 0},
      {"content past the end: replaced", withRecord(record(24, 6, 30, 5000)), {"a.txt"}, 0, nullptr, 0},
      {"missing", "", {"a.txt"}, plat::kErrorFileNotFound, nullptr, 0},
      {"held open by a writer", withRecord(""), {"a.txt"}, plat::kErrorSharingViolation, nullptr, 0},
      {"a source its package lists but cannot read", withRecord(""), both, plat::kErrorHandleEof, "bad", 0},
      {"a package that is no archive: the loose file", withRecord(""), {"a.txt"}, 0, "text", 0},
      // Positions are sought as signed 32-bit distances.
      {"2 GiB", withRecord(""), both, plat::kErrorFileTooLarge, nullptr, 0x80000000u},
      {"2 GiB once changed", withRecord(""), both, plat::kErrorFileTooLarge, nullptr, 0x7FFFFFFFu - 2},
      {"4 GiB", withRecord(""), both, plat::kErrorFileTooLarge, nullptr, 0x100002000u}};
  int files = 0;
  for (const auto& [title, bytes, entries, error, package, sparseSize] : rows) {
    for (const std::string& entry : entries) {
      SCOPED_TRACE(std::string(title) + ", " + entry);
      std::string path = std::to_string(++files);
      ASSERT_TRUE(bytes.empty() || writeFile(path, bytes));
      plat::File file;  // makes the sparse size, or is the writer that holds the file open
      ASSERT_TRUE((!sparseSize && error != plat::kErrorSharingViolation) ||
                  file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead | plat::kShareWrite,
                            plat::kOpenExisting));
      ASSERT_TRUE(!sparseSize || (file.seek(static_cast<int64_t>(sparseSize - 1), plat::SeekOrigin::Begin) &&
                                  file.writeExactly("z", 1)));
      if (sparseSize) file.close();
      std::string before = sparseSize ? std::to_string(sparseSize) : bytes.empty() ? "<none>" : bytes;
      runState.currentPackage.reset(package ? new PackageArchive(package) : nullptr);
      plat::setLastError(0);
      EXPECT_EQ(insertIntoArchive(path.c_str(), "src", entry.c_str()), error == 0);
      EXPECT_EQ(plat::lastError(), error);
      releaseTargetArchive();
      file.close();
      PackageArchive archive(path.c_str());
      EXPECT_TRUE(error ? fileState(path) == before : entryText(archive, entry) == "new");
    }
  }
  resetRunState();
}

// Layouts no writer of this system makes, read as the reader documents;
// those without a usable index are not rewritten either.
TEST(ArchiveRefusalTest, LayoutsNoWriterMakes) {
  TempFolder folder;
  CurrentDirectory here(folder.path());
  // 5,000 distinct overlapping names without a NUL would need copies of
  // 320 MB from a file of 160 KB.
  std::string overlapping = header(24 + 65536 + 1, 100000) + std::string(65536, 'n') + "x";
  for (uint32_t i = 0; i < 5000; ++i) overlapping += record(24, 65536 - i, 24, 1);
  uint32_t end = 24 + 17 + 6 * 20;
  std::string odd = header(41, 120) + "nonul" + std::string("good\0", 5) + "content" + record(24, 5, 34, 7) +
                    record(29, 0, 34, 7) + record(end - 2, 5, 34, 7) + record(29, 5, end - 3, 4) +
                    record(29, 5, 34, 7) + record(0xFFFFFFF0u, 0x20, 0xFFFFFFFFu, 0xFFFFFFFFu);
  using State = PackageArchive::IndexState;
  // The file, its entry count and index state, and names with what reads back.
  for (const auto& [bytes, count, state, reads] :
       std::vector<std::tuple<std::string, int, State, std::vector<std::pair<std::string, std::string>>>>{
           {"QRV001", 0, State::NoHeader, {{"a", "<absent>"}}},
           {header(31, 40) + std::string("a\0alpha", 7) + record(24, 2, 26, 5), 0, State::Malformed, {}},
           {overlapping, 0, State::Malformed, {}},
           {odd, 6, State::Loaded, {{"NONUL", "content"}, {"", "<absent>"}, {"good", "<unreadable>"}}},
           // Names far apart, the first without a NUL: each is copied with one of its own.
           {header(134, 40) + "nonul" + std::string(100, 'c') + std::string("next\0", 5) + record(24, 5, 29, 100) +
                record(129, 5, 29, 100), 2, State::Loaded, {{"nonul", std::string(100, 'c')}, {"next", std::string(100, 'c')}}}}) {
    ASSERT_TRUE(writeFile("a", bytes));
    PackageArchive archive("a");
    plat::setLastError(0);
    EXPECT_EQ(archive.loadedEntryCount(), count);
    EXPECT_EQ(plat::lastError(), state == State::Malformed ? kErrorInvalidData : 0);
    EXPECT_EQ(archive.indexState(), state);
    for (const auto& [name, text] : reads) EXPECT_EQ(entryText(archive, name), text) << name;
    EXPECT_TRUE(bytes.size() > 100 || (!archive.relocateEntry("a", 24, 2) && !archive.appendEntry(24, 2, 26, 1)));
    EXPECT_TRUE(readFileOrEmpty("a") == bytes);
  }
  // An addition to an archive whose names would not fit in memory takes
  // the index as the file holds it.
  ASSERT_TRUE(writeFile("a", overlapping));
  EXPECT_TRUE(PackageArchive("a").appendEntry(24, 1, 24, 1));
  EXPECT_EQ(readFileOrEmpty("a").substr(16, 8), u32(overlapping.size()) + u32(5001 * 20));
  // No change without the file open for writing.
  EXPECT_FALSE(PackageArchive("none").relocateEntry("a", 24, 2) || PackageArchive("none").appendEntry(24, 2, 26, 1));
  {
  // A file that did not open stays without entries until an addition.
  PackageArchive late("late");
  EXPECT_EQ(entryText(late, "a"), "<absent>");
  ASSERT_TRUE(writeFile("late", archiveBytes({{"a", "alpha"}})));
  EXPECT_EQ(entryText(late, "a"), "<absent>");
  EXPECT_TRUE(late.appendEntry(24, 2, 26, 5));
  EXPECT_EQ(entryText(late, "a"), "alpha");
  // An added record describes bytes already in the file, name and content.
  std::string added = readFileOrEmpty("late");
  EXPECT_FALSE(late.appendEntry(24, 2, 26, 5000) || late.appendEntry(5000, 2, 26, 5));
  EXPECT_EQ(readFileOrEmpty("late"), added);
  }
  // Insertions into the target the run holds open it no more.
  runState.targetFolders.reset(folder.path());
  runState.updateFolder.holdCurrentFolder();
  ASSERT_TRUE(writeFile("src", "new") && insertIntoArchive("late", "src", "a"));
  auto opens = std::make_unique<FaultPlan>(FaultPlan::kOpens, 0, FaultPlan::Spoil::Count);
  opens->onlyOpens("late");
  EXPECT_TRUE(insertIntoArchive("late", "src", "A") && insertIntoArchive("late", "src", "b"));
  EXPECT_EQ(opens->calls(), 0);
  resetRunState();
}

}  // namespace
