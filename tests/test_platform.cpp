// The platform layer behaves like the Windows services on both builds:
// error codes, share modes, the read-only attribute, searches with
// wildcards, CP932 names, text streams, events and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/text_stream.h"
#include "tests/support/test_files.h"

namespace {

// The position after a seek, or ~0 when it failed.
uint64_t seekTo(plat::File& file, int64_t distance, plat::SeekOrigin origin) {
  uint64_t position = 0;
  return file.seek(distance, origin, &position) ? position : ~0ull;
}

uint64_t sizeOf(plat::File& file) {
  uint64_t size = 0;
  return file.size(&size) ? size : ~0ull;
}

TEST(PlatformFile, OpenReadWriteSeekAndSize) {
  TempFolder folder;
  std::string path = folder / "file.bin";
  plat::File file;
  ASSERT_TRUE(file.open(path.c_str(), plat::kGenericRead | plat::kGenericWrite, plat::kShareRead,
                        plat::kCreateAlways));
  uint32_t moved = 0;
  ASSERT_TRUE(file.write("0123456789", 10, &moved));
  EXPECT_EQ(moved, 10u);
  EXPECT_TRUE(file.flush());
  EXPECT_EQ(sizeOf(file), 10u);
  EXPECT_EQ(seekTo(file, 0, plat::SeekOrigin::End), 10u);
  EXPECT_EQ(seekTo(file, -4, plat::SeekOrigin::End), 6u);
  EXPECT_EQ(seekTo(file, 2, plat::SeekOrigin::Current), 8u);
  EXPECT_EQ(seekTo(file, 3, plat::SeekOrigin::Begin), 3u);
  char buffer[16] = {};
  ASSERT_TRUE(file.read(buffer, 16, &moved));
  EXPECT_EQ(moved, 7u) << "a read at the end delivers what is there";
  EXPECT_STREQ(buffer, "3456789");
  ASSERT_TRUE(file.read(buffer, 4, &moved));
  EXPECT_EQ(moved, 0u);
  EXPECT_EQ(seekTo(file, -1, plat::SeekOrigin::Begin), ~0ull);
  EXPECT_EQ(plat::lastError(), plat::kErrorNegativeSeek);

  // Whole transfers: a read that ends early is a failure with its own code.
  ASSERT_TRUE(file.seek(8, plat::SeekOrigin::Begin));
  EXPECT_TRUE(file.readExactly(buffer, 2));
  EXPECT_FALSE(file.readExactly(buffer, 1));
  EXPECT_EQ(plat::lastError(), plat::kErrorHandleEof);
  EXPECT_TRUE(file.writeExactly("ab", 2));
  EXPECT_EQ(sizeOf(file), 12u);
  file.close();

  // CREATE_ALWAYS empties an existing file.
  ASSERT_TRUE(file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways));
  EXPECT_EQ(sizeOf(file), 0u);
}

// Positions and sizes keep all 64 bits: nothing wraps at 4 GiB. The file is
// sparse where the file system allows it.
TEST(PlatformFile, PositionsAndSizesBeyondFourGibibytes) {
  TempFolder folder;
  std::string path = folder / "large.bin";
  const uint64_t far = (1ull << 32) + 8192;
  {
    plat::File file;
    ASSERT_TRUE(file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways));
    EXPECT_EQ(seekTo(file, static_cast<int64_t>(far), plat::SeekOrigin::Begin), far);
    if (!file.writeExactly("z", 1)) GTEST_SKIP() << "no room for a file beyond 4 GiB here";
    EXPECT_EQ(sizeOf(file), far + 1);
    EXPECT_EQ(seekTo(file, -1, plat::SeekOrigin::Current), far);
    EXPECT_EQ(seekTo(file, 0, plat::SeekOrigin::End), far + 1);
  }
  plat::File file;
  ASSERT_TRUE(file.open(path.c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting));
  char last = 0;
  ASSERT_TRUE(file.seek(-1, plat::SeekOrigin::End));
  ASSERT_TRUE(file.readExactly(&last, 1));
  EXPECT_EQ(last, 'z');
  file.close();
  EXPECT_TRUE(plat::deleteFile(path.c_str()));
}

// The short and failed writes a full disk makes, through the fault hook.
TEST(PlatformFile, WholeWritesReportShortAndFailedTransfers) {
  struct Shortening : plat::IoFaultHook {
    uint32_t keep = 0, failure = 0;
    uint64_t growth = 0;
    bool beforeWrite(uint32_t* count) override {
      *count = keep;
      return true;
    }
    uint32_t failWrite(uint64_t bytesAdded, uint32_t*) override {
      growth = bytesAdded;
      return failure;
    }
  } hook;
  TempFolder folder;
  std::string path = folder / "full.bin";
  const struct {
    uint32_t failure, error;
  } cases[] = {{0, plat::kErrorWriteFault}, {plat::kErrorDiskFull, plat::kErrorDiskFull}};
  for (const auto& test : cases) {
    plat::File file;
    ASSERT_TRUE(file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kCreateAlways));
    hook.keep = 3;
    hook.failure = test.failure;
    plat::setIoFaultHook(&hook);
    bool written = file.writeExactly("0123456", 7);
    plat::setIoFaultHook(nullptr);
    EXPECT_FALSE(written);
    EXPECT_EQ(plat::lastError(), test.error);
    EXPECT_EQ(hook.growth, 3u) << "the shortened write would add three bytes";
    file.close();
    EXPECT_EQ(readFileOrEmpty(path), "012") << "the bytes that fitted are there";
  }
}

TEST(PlatformFile, OpensAreRefusedWithTheWindowsCodes) {
  TempFolder folder;
  const std::string held = folder / "held.dat";
  ASSERT_TRUE(writeFile(held, "content"));
  ASSERT_TRUE(makeFolder(folder / "sub"));
  const uint32_t R = plat::kGenericRead, W = plat::kGenericWrite, SR = plat::kShareRead;
  struct Case {
    const char* what;
    std::string path;
    uint32_t holderAccess;  // 0: nobody holds the file; else someone who shares reading only
    uint32_t access, share, disposition;
    uint32_t error;  // 0: it opens
  };
  const std::vector<Case> cases = {
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
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    plat::File holder, file;
    if (test.holderAccess != 0) {
      ASSERT_TRUE(holder.open(held.c_str(), test.holderAccess, SR, plat::kOpenExisting));
    }
    bool opened = file.open(test.path.c_str(), test.access, test.share, test.disposition);
    EXPECT_EQ(opened, test.error == 0);
    EXPECT_EQ(opened ? 0u : plat::lastError(), test.error);
  }
  EXPECT_EQ(readFileOrEmpty(held), "content") << "a refused CREATE_ALWAYS truncates nothing";
}

TEST(PlatformFile, ReadOnlyFilesRefuseWriters) {
  if (!readOnlyAttributeHolds()) GTEST_SKIP() << "the read-only attribute does not hold here (Wine as root)";
  TempFolder folder;
  std::string path = folder / "locked.dat";
  ASSERT_TRUE(writeFile(path, "keep"));
  ASSERT_TRUE(makeReadOnly(path));
  plat::File file;
  EXPECT_FALSE(file.open(path.c_str(), plat::kGenericWrite, plat::kShareRead, plat::kOpenExisting));
  EXPECT_EQ(plat::lastError(), plat::kErrorAccessDenied);
  EXPECT_TRUE(file.open(path.c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting));
}

TEST(PlatformSearch, WildcardsFoldersMissesAndDoubleByteNames) {
  TempFolder folder;
  ASSERT_TRUE(makeFolder(folder / "data.dir"));
  ASSERT_TRUE(writeFile(folder / "data.bin", "x"));
  plat::FileSearch search;
  plat::FoundFile found;
  ASSERT_TRUE(search.first((folder / "data.dir").c_str(), &found));
  EXPECT_TRUE(found.attributes & plat::kAttributeDirectory);
  int files = 0, folders = 0;
  ASSERT_TRUE(search.first((folder / "data.*").c_str(), &found));
  do {
    (found.attributes & plat::kAttributeDirectory ? folders : files)++;
  } while (search.next(&found));
  EXPECT_EQ(files, 1);
  EXPECT_EQ(folders, 1);
  EXPECT_EQ(plat::lastError(), plat::kErrorNoMoreFiles);
  EXPECT_FALSE(search.first((folder / "nothing*").c_str(), &found));
  EXPECT_FALSE(search.first((folder / "absent.bin").c_str(), &found));
  EXPECT_EQ(plat::lastError(), plat::kErrorFileNotFound);

  // CP932 names whose trail bytes are backslashes, as a folder and a file.
  std::string sub = folder / (kSoHyou + "\\");
  ASSERT_TRUE(makeFolder(sub));
  ASSERT_TRUE(writeFile(sub + kSoHyou + ".txt", "so-hyou"));
  EXPECT_EQ(readFileOrEmpty(sub + kSoHyou + ".txt"), "so-hyou");
  ASSERT_TRUE(search.first((sub + "*.txt").c_str(), &found));
  EXPECT_EQ(found.name, kSoHyou + ".txt");
  EXPECT_FALSE(search.next(&found));
  // The trail byte split nothing: the folder holds one entry named so.
  ASSERT_TRUE(search.first((folder / "*").c_str(), &found));
  bool sawFolder = false;
  do {
    if (found.name == kSoHyou) sawFolder = (found.attributes & plat::kAttributeDirectory) != 0;
  } while (search.next(&found));
  EXPECT_TRUE(sawFolder);
  // Bytes that are no CP932 name no file.
  plat::File file;
  EXPECT_FALSE(file.open((folder / "\x81").c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting));
}

// A name that CP932 cannot write is reported as such on both sides: no
// look-alike bytes, never skipped.
TEST(PlatformSearch, NamesWithoutCp932FormAreFlaggedNotSkipped) {
  TempFolder folder;
  const std::string cafe = "caf\xC3\xA9.txt";  // U+00E9 has no CP932 form
  ASSERT_TRUE(writeFileNamedInUtf8(folder.path(), cafe, "x"));
  ASSERT_TRUE(writeFile(folder / (kSoHyou + ".txt"), "y"));
  plat::FileSearch search;
  plat::FoundFile found;
  std::vector<std::string> nameable, unnameable;
  ASSERT_TRUE(search.first((folder / "*.txt").c_str(), &found));
  do {
    if (found.nameable) {
      nameable.push_back(found.name);
      EXPECT_EQ(found.utf8Name, utf8Of(found.name));
    } else {
      unnameable.push_back(found.utf8Name);
      EXPECT_EQ(found.name, "") << "no look-alike name that could open another file";
    }
  } while (search.next(&found));
  EXPECT_EQ(nameable, std::vector<std::string>{kSoHyou + ".txt"});
  EXPECT_EQ(unnameable, std::vector<std::string>{cafe});
}

TEST(PlatformCopy, CopiesAndHonoursFailIfExists) {
  TempFolder folder;
  ASSERT_TRUE(writeFile(folder / "from.dat", "new bytes"));
  ASSERT_TRUE(writeFile(folder / "to.dat", "old"));
  EXPECT_FALSE(plat::copyFile((folder / "from.dat").c_str(), (folder / "to.dat").c_str(), true));
  EXPECT_EQ(readFileOrEmpty(folder / "to.dat"), "old");
  EXPECT_TRUE(plat::copyFile((folder / "from.dat").c_str(), (folder / "to.dat").c_str(), false));
  EXPECT_EQ(readFileOrEmpty(folder / "to.dat"), "new bytes");
  EXPECT_FALSE(plat::copyFile((folder / "absent.dat").c_str(), (folder / "to.dat").c_str(), false));
  EXPECT_EQ(plat::lastError(), plat::kErrorFileNotFound);
}

// The one-step replace: the target shows the old bytes or the new ones;
// what an open for writing would refuse is refused with the same code and
// changes nothing.
TEST(PlatformReplace, ReplacesInOneStepOrChangesNothing) {
  struct Case {
    const char* what;
    bool targetExists, replacementExists, holdTarget, readOnlyTarget;
    uint32_t error;  // 0: replaced
  };
  const Case cases[] = {
      {"an absent target is made", false, true, false, false, 0},
      {"an existing target is replaced", true, true, false, false, 0},
      {"a target held open", true, true, true, false, plat::kErrorSharingViolation},
      {"a read-only target", true, true, false, true, plat::kErrorAccessDenied},
      {"no replacement", true, false, false, false, plat::kErrorFileNotFound},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    if (test.readOnlyTarget && !readOnlyAttributeHolds()) continue;
    TempFolder fresh;
    const std::string target = fresh / "target.dat", replacement = fresh / "target.new";
    ASSERT_TRUE(!test.targetExists || writeFile(target, "old"));
    ASSERT_TRUE(!test.replacementExists || writeFile(replacement, "new bytes"));
    ASSERT_TRUE(!test.readOnlyTarget || makeReadOnly(target));
    plat::File holder;
    ASSERT_TRUE(!test.holdTarget ||
                holder.open(target.c_str(), plat::kGenericRead, plat::kShareRead, plat::kOpenExisting));
    bool replaced = plat::replaceFile(target.c_str(), replacement.c_str());
    uint32_t error = plat::lastError();
    holder.close();
    EXPECT_EQ(replaced, test.error == 0);
    EXPECT_EQ(replaced ? 0u : error, test.error);
    EXPECT_EQ(readFileOrEmpty(target), replaced ? "new bytes" : test.targetExists ? "old" : "");
    EXPECT_EQ(fileIsPresent(replacement), !replaced && test.replacementExists);
  }
}

TEST(PlatformErrors, LastErrorIsPerThreadAndMessagesExist) {
  std::string text;
  EXPECT_TRUE(plat::systemMessage(plat::kErrorFileNotFound, &text));
  EXPECT_FALSE(text.empty());
  EXPECT_TRUE(plat::systemMessage(plat::kErrorSharingViolation, &text));
  EXPECT_FALSE(plat::systemMessage(0x2345678u, &text));

  struct Probe {
    static uint32_t run(void* argument) {
      *static_cast<uint32_t*>(argument) = plat::lastError();
      plat::setLastError(99);
      return 0;
    }
  };
  uint32_t seenThere = 7;
  plat::setLastError(5);
  plat::ThreadHandle thread = plat::startThread(&Probe::run, &seenThere, nullptr);
  ASSERT_TRUE(thread);
  plat::joinThread(thread);
  plat::closeThreadHandle(thread);
  EXPECT_EQ(seenThere, 0u);
  EXPECT_EQ(plat::lastError(), 5u);
}

TEST(PlatformEvents, ManualResetEventHoldsAThreadUntilSet) {
  plat::EventHandle gate = plat::createManualResetEvent("updater-test-gate", false);
  ASSERT_TRUE(gate);
  plat::EventHandle again = plat::createManualResetEvent("updater-test-gate", false);
  EXPECT_EQ(plat::lastError(), plat::kErrorAlreadyExists) << "a named event opens the existing one";
  plat::EventHandle started = plat::createManualResetEvent(nullptr, false);

  struct Worker {
    plat::EventHandle gate, started;
    std::atomic<int> stage{0};
    static uint32_t run(void* raw) {
      auto* self = static_cast<Worker*>(raw);
      self->stage = 1;
      plat::setEvent(self->started);
      plat::waitForever(self->gate);
      self->stage = 2;
      return 0;
    }
  } worker;
  worker.gate = gate;
  worker.started = started;
  uint32_t id = 0;
  plat::ThreadHandle thread = plat::startThread(&Worker::run, &worker, &id);
  ASSERT_TRUE(thread);
  EXPECT_NE(id, 0u);
  plat::waitForever(started);
  plat::sleepMilliseconds(20);
  EXPECT_EQ(worker.stage.load(), 1) << "the reset event holds the worker";
  plat::setEvent(again);  // the same event by name
  plat::joinThread(thread);
  plat::closeThreadHandle(thread);
  EXPECT_EQ(worker.stage.load(), 2);
  // Manual reset: it stays signalled until reset.
  plat::waitForever(gate);
  EXPECT_TRUE(plat::resetEvent(gate));
}

TEST(PlatformTextStream, ReadsLinesWithTextModeRulesAcrossItsBuffer) {
  TempFolder folder;
  std::string path = folder / "text.txt";
  ASSERT_TRUE(writeFile(path, "one\r\ntwo\rthree\nlast\x1aignored\n"));
  plat::TextReader reader;
  ASSERT_TRUE(reader.open(path.c_str()));
  char line[8];
  EXPECT_EQ(reader.readLine(line, sizeof line), 4u);
  EXPECT_STREQ(line, "one\n");
  EXPECT_EQ(reader.readLine(line, sizeof line), 7u) << "a lone CR stays; 7 bytes fill the buffer";
  EXPECT_STREQ(line, "two\rthr");
  EXPECT_EQ(reader.readLine(line, sizeof line), 3u);
  EXPECT_STREQ(line, "ee\n");
  EXPECT_EQ(reader.readLine(line, sizeof line), 4u);
  EXPECT_STREQ(line, "last");
  EXPECT_EQ(reader.readLine(line, sizeof line), 0u);

  plat::TextReader absent;
  EXPECT_FALSE(absent.open((folder / "absent.txt").c_str()));

  // A CR LF exactly across the reader's 64 KiB chunks is one line end.
  ASSERT_TRUE(writeFile(folder / "long.txt", std::string(64 * 1024 - 1, 'a') + "\r\nb\r\n"));
  plat::TextReader longReader;
  ASSERT_TRUE(longReader.open((folder / "long.txt").c_str()));
  std::string all;
  char piece[256];
  while (size_t n = longReader.readLine(piece, sizeof piece)) all.append(piece, n);
  EXPECT_EQ(all, std::string(64 * 1024 - 1, 'a') + "\nb\n");
}

TEST(PlatformTextStream, AppendWritesCrLfAndDropsAFinalEndOfTextMark) {
  TempFolder folder;
  std::string path = folder / "Setup.log";
  ASSERT_TRUE(writeFile(path, "F\told\r\n\x1a"));
  ASSERT_TRUE(plat::appendText(path.c_str(), "F\tnew\n", 6));
  EXPECT_EQ(readFileOrEmpty(path), "F\told\r\nF\tnew\r\n");
  ASSERT_TRUE(plat::appendText((folder / "fresh.log").c_str(), "x\n", 2));
  EXPECT_EQ(readFileOrEmpty(folder / "fresh.log"), "x\r\n") << "appending creates a missing file";
}

}  // namespace
