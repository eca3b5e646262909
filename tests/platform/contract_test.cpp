#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "platform_contract.h"

namespace vornel::contract {
namespace {

Target* g_target = nullptr;

const std::string kRoot = "SOFTWARE\\VornelContract";

// Deletes a key with everything below it, with the platform's own operations.
void deleteTree(Platform& os, const std::string& path) {
    RegKey key;
    if (os.regOpenKey(path, key) != 0) return;
    uint32_t count = 0;
    if (os.regQueryInfoKey(key, count) == 0) {
        std::vector<std::string> children;
        for (uint32_t i = 0; i < count; ++i) {
            std::string name;
            if (os.regEnumKey(key, i, name) == 0) children.push_back(name);
        }
        for (const std::string& child : children) deleteTree(os, path + "\\" + child);
    }
    key.reset();
    size_t slash = path.rfind('\\');
    RegKey parent;
    if (os.regOpenKey(path.substr(0, slash), parent) == 0) os.regDeleteKey(parent, path.substr(slash + 1));
}

class Contract : public ::testing::Test {
protected:
    Contract() : os(target().platform()) { deleteTree(os, kRoot); }
    ~Contract() override { deleteTree(os, kRoot); }

    std::string read(const std::string& path, const std::string& name, ErrorCode& rc) {
        RegKey key;
        rc = os.regOpenKeyEx(path, win::kKeyRead, key);
        if (rc != 0) return std::string();
        std::string data;
        rc = os.regQueryValue(key, name, data);
        return data;
    }

    void setString(const std::string& path, const std::string& name, const std::string& text) {
        RegKey key;
        ASSERT_EQ(os.regCreateKeyEx(path, key), 0u);
        ASSERT_EQ(os.regSetStringValue(key, name, text), 0u);
    }

    Platform& os;
};

TEST_F(Contract, StringValuesOfAnyLengthReadWholeWithTheirTerminator) {
    for (size_t length : {size_t{2047}, size_t{2048}, size_t{5000}}) {
        std::string text(length, 'v');
        setString(kRoot, "Long", text);
        ErrorCode rc = 1;
        std::string data = read(kRoot, "Long", rc);
        EXPECT_EQ(rc, 0u) << length;
        EXPECT_EQ(data, text + '\0') << length;
    }
}

TEST_F(Contract, ANumberReadsAsItsFourRawBytes) {
    RegKey key;
    ASSERT_EQ(os.regCreateKeyEx(kRoot, key), 0u);
    ASSERT_EQ(os.regSetDwordValue(key, "TypesSupported", 7), 0u);
    ErrorCode rc = 1;
    EXPECT_EQ(read(kRoot, "TypesSupported", rc), std::string("\x07\0\0\0", 4));
    EXPECT_EQ(rc, 0u);
}

TEST_F(Contract, MissingKeysAndValuesGiveFileNotFound) {
    ErrorCode rc = 0;
    read(kRoot + "\\Missing", "X", rc);
    EXPECT_EQ(rc, win::kErrorFileNotFound);
    setString(kRoot, "Present", "x");
    read(kRoot, "Absent", rc);
    EXPECT_EQ(rc, win::kErrorFileNotFound);
}

TEST_F(Contract, AClosingSeparatorNamesTheSameKeyAndALeadingOneIsRefused) {
    setString(kRoot + "\\Parameters\\", "AgentName", "agent");
    ErrorCode rc = 1;
    EXPECT_EQ(read(kRoot + "\\Parameters", "AgentName", rc), std::string("agent") + '\0');
    EXPECT_EQ(rc, 0u);
    EXPECT_EQ(read(kRoot + "\\Parameters\\", "agentname", rc), std::string("agent") + '\0');
    EXPECT_EQ(rc, 0u);
    RegKey key;
    EXPECT_EQ(os.regOpenKeyEx("\\" + kRoot, win::kKeyRead, key), win::kErrorBadPathname);
    RegKey viaOpenKey;
    EXPECT_EQ(os.regOpenKey(kRoot + "\\Parameters\\", viaOpenKey), 0u);
}

TEST_F(Contract, CreatingAKeyCreatesItsMissingParents) {
    setString(kRoot + "\\a\\b\\c", "V", "1");
    RegKey key;
    EXPECT_EQ(os.regOpenKeyEx(kRoot + "\\a\\b", win::kKeyRead, key), 0u);
    RegKey viaCreateKey;
    EXPECT_EQ(os.regCreateKey(kRoot + "\\d\\e", viaCreateKey), 0u);
    RegKey opened;
    EXPECT_EQ(os.regOpenKey(kRoot + "\\d", opened), 0u);
}

TEST_F(Contract, ChildKeysAreCountedAndEnumeratedOnceEach) {
    for (const char* name : {"c", "A", "b"}) setString(kRoot + "\\" + name, "V", "1");
    RegKey key;
    ASSERT_EQ(os.regOpenKey(kRoot, key), 0u);
    uint32_t count = 0;
    ASSERT_EQ(os.regQueryInfoKey(key, count), 0u);
    EXPECT_EQ(count, 3u);
    std::multiset<std::string> names;
    for (uint32_t i = 0; i < count; ++i) {
        std::string name;
        ASSERT_EQ(os.regEnumKey(key, i, name), 0u);
        names.insert(name);
    }
    EXPECT_EQ(names, (std::multiset<std::string>{"A", "b", "c"}));
    std::string name;
    EXPECT_EQ(os.regEnumKey(key, count, name), win::kErrorNoMoreItems);
}

TEST_F(Contract, OnlyAKeyWithoutChildrenCanBeDeleted) {
    setString(kRoot + "\\parent\\child", "V", "1");
    RegKey root;
    ASSERT_EQ(os.regOpenKey(kRoot, root), 0u);
    EXPECT_EQ(os.regDeleteKey(root, "parent"), win::kErrorAccessDenied);
    RegKey parent;
    ASSERT_EQ(os.regOpenKey(kRoot + "\\parent", parent), 0u);
    EXPECT_EQ(os.regDeleteKey(parent, "CHILD"), 0u);
    EXPECT_EQ(os.regDeleteKey(parent, "child"), win::kErrorFileNotFound);
    RegKey gone;
    EXPECT_EQ(os.regOpenKeyEx(kRoot + "\\parent\\child", win::kKeyRead, gone), win::kErrorFileNotFound);
}

TEST_F(Contract, AKeyOpenedForReadingCannotBeWritten) {
    setString(kRoot, "V", "1");
    RegKey key;
    ASSERT_EQ(os.regOpenKeyEx(kRoot, win::kKeyRead, key), 0u);
    EXPECT_EQ(os.regSetStringValue(key, "V", "2"), win::kErrorAccessDenied);
}

TEST_F(Contract, SystemTextsEndInALineEndAndUnknownCodesHaveNone) {
    for (ErrorCode code : {win::kErrorAccessDenied, win::kErrorServiceAlreadyRunning,
                           win::kErrorServiceDoesNotExist, win::kErrorServiceNotActive,
                           win::kErrorServiceExists}) {
        std::optional<std::string> text = os.systemErrorText(code);
        ASSERT_TRUE(text.has_value()) << code;
        ASSERT_GE(text->size(), 3u) << code;
        EXPECT_EQ(text->substr(text->size() - 2), "\r\n") << code;
    }
    EXPECT_EQ(os.systemErrorText(123456), std::nullopt);
}

TEST_F(Contract, AProcessThatHasEndedCountsAsEndedAlthoughItCanStillBeOpened) {
    ProcessInfo info;
    ASSERT_EQ(os.createProcess(target().exitThreeCommandLine(), target().scratchDirectory(), StartMode::Running, info),
              0u);
    EXPECT_NE(info.processId, 0u);
    EXPECT_EQ(os.waitForProcess(info.process, 30000), WaitResult::Signaled);
    uint32_t code = 0;
    EXPECT_EQ(os.getExitCodeProcess(info.process, code), 0u);
    EXPECT_EQ(code, 3u);
    ProcessHandle again;
    ASSERT_EQ(os.openProcess(info.processId, win::kProcessAllAccess, again), 0u);
    EXPECT_EQ(os.waitForProcess(again, 0), WaitResult::Signaled);
    ProcessHandle none;
    EXPECT_EQ(os.openProcess(0, win::kProcessAllAccess, none), win::kErrorInvalidParameter);
}

TEST_F(Contract, AKeyIsFoundInAnyLetterCaseAndEnumeratedInItsOwn) {
    setString(kRoot + "\\Service - cs", "V", "1");
    RegKey other;
    EXPECT_EQ(os.regOpenKeyEx(kRoot + "\\SERVICE - CS", win::kKeyRead, other), 0u);
    RegKey key;
    ASSERT_EQ(os.regOpenKey(kRoot, key), 0u);
    std::string name;
    ASSERT_EQ(os.regEnumKey(key, 0, name), 0u);
    EXPECT_EQ(name, "Service - cs");
}

// The programs carry a manifest that makes UTF-8 the active code page (honoured from Windows 10
// version 1903 on, and by Wine 8); so does this suite's program.
TEST_F(Contract, ProgramsRunWithUTF8AsTheActiveCodePage) {
    bool fits = false;
    uint32_t codePage = 0;
    ASSERT_EQ(os.commandLineFitsCodePage(fits, codePage), 0u);
    EXPECT_EQ(codePage, 65001u);
    EXPECT_TRUE(fits);
}

// With UTF-8 as the active code page the ANSI calls carry any text whole: key names, values
// and file names in Cyrillic and Chinese.
TEST_F(Contract, TextInAnyLanguagePassesTheAnsiCallsWhole) {
    const std::string word = "\xD0\x90\xD0\xB3\xD0\xB5\xD0\xBD\xD1\x82 \xE4\xB8\xAD\xE6\x96\x87 \xC3\xA9";  // "Агент 中文 é"
    setString(kRoot + "\\" + word, word, word + "\\");
    ErrorCode rc = 1;
    EXPECT_EQ(read(kRoot + "\\" + word, word, rc), word + "\\" + '\0');
    EXPECT_EQ(rc, 0u);
    RegKey key;
    ASSERT_EQ(os.regOpenKey(kRoot, key), 0u);
    std::string name;
    ASSERT_EQ(os.regEnumKey(key, 0, name), 0u);
    EXPECT_EQ(name, word);

    const std::string path = target().scratchDirectory() + word + ".txt";
    std::remove(path.c_str());
    std::FILE* file = os.openAppendStream(path);
    ASSERT_NE(file, nullptr);
    std::fputs(word.c_str(), file);
    std::fclose(file);
    std::string content;
    ASSERT_EQ(os.readTextFile(path, content), 0u);
    EXPECT_EQ(content, word);
    std::remove(path.c_str());
}

// The ordinal comparison without regard to case: each UTF-16 unit in the system's upper case,
// with no language's rules (so the Turkish dotted and dotless i have no other case).
struct OrdinalRow {
    const char* name;
    const char* a;
    const char* b;
    int order;  // below 0, 0 or above 0
};

class OrdinalContract : public Contract, public ::testing::WithParamInterface<OrdinalRow> {};

TEST_P(OrdinalContract, TextsCompareInTheSystemsUpperCase) {
    const OrdinalRow& row = GetParam();
    int order = 99;
    ASSERT_EQ(os.compareStringOrdinal(row.a, row.b, true, order), 0u);
    EXPECT_EQ(order < 0 ? -1 : order > 0 ? 1 : 0, row.order);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OrdinalContract,
    ::testing::Values(OrdinalRow{"Ascii", "Node1", "nODE1", 0}, OrdinalRow{"AsciiOrder", "node1", "NODE2", -1},
                      OrdinalRow{"Latin1", "caf\xC3\xA9 \xC3\xBF", "CAF\xC3\x89 \xC5\xB8", 0},  // café ÿ, CAFÉ Ÿ
                      OrdinalRow{"Cyrillic", "\xD1\x81\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB8\xD1\x81 \xD1\x91",
                                 "\xD0\xA1\xD0\x95\xD0\xA0\xD0\x92\xD0\x98\xD0\xA1 \xD0\x81", 0},  // сервис ё, СЕРВИС Ё
                      OrdinalRow{"Greek", "\xCF\x85\xCF\x80\xCE\xB7\xCF\x81\xCE\xB5\xCF\x83\xCE\xAF\xCE\xB1",
                                 "\xCE\xA5\xCE\xA0\xCE\x97\xCE\xA1\xCE\x95\xCE\xA3\xCE\x8A\xCE\x91", 0},  // υπηρεσία, ΥΠΗΡΕΣΊΑ
                      OrdinalRow{"GreekFinalSigma", "\xCF\x82", "\xCE\xA3", 1},                   // ς, Σ
                      OrdinalRow{"SmallIIsCapitalI", "i", "I", 0},
                      OrdinalRow{"DottedCapitalIIsNotSmallI", "\xC4\xB0", "i", 1},                   // İ, i
                      OrdinalRow{"DotlessSmallIIsNotCapitalI", "\xC4\xB1", "I", 1},                  // ı, I
                      OrdinalRow{"ChineseHasNoCase", "\xE4\xB8\xAD", "\xE4\xB8\xAD", 0}),
    [](const ::testing::TestParamInfo<OrdinalRow>& row) { return std::string(row.param.name); });

TEST_F(Contract, WithCaseTheOrdinalComparisonIsByteForByteAndInvalidTextIsRefused) {
    int order = 99;
    ASSERT_EQ(os.compareStringOrdinal("node1", "NODE1", false, order), 0u);
    EXPECT_GT(order, 0);
    ASSERT_EQ(os.compareStringOrdinal("", "", true, order), 0u);
    EXPECT_EQ(order, 0);
    EXPECT_EQ(os.compareStringOrdinal("a\xFF", "a", true, order), win::kErrorNoUnicodeTranslation);
}

// Polls the job's count of live processes once every 100 ms until it is `wanted` or the
// seconds have passed; the last count.
uint32_t jobCountBecomes(Platform& os, const JobHandle& job, uint32_t wanted, int seconds) {
    uint32_t active = 0xFFFFFFFF;
    for (int i = 0; i < seconds * 10; ++i) {
        std::vector<uint32_t> pids;
        if (os.jobProcessIds(job, pids) == 0) active = static_cast<uint32_t>(pids.size());
        if (active == wanted) return active;
        os.sleep(100);
    }
    return active;
}

TEST_F(Contract, AProcessThatAScriptOfAJobStartsIsInTheJobAndEndsWithIt) {
    JobHandle job;
    ASSERT_EQ(os.createJob(job), 0u);
    ProcessInfo script;
    ASSERT_EQ(os.createProcess(target().childStartingCommandLine(), target().scratchDirectory(), StartMode::Suspended,
                               script),
              0u);
    ASSERT_EQ(os.assignProcessToJob(job, script.process), 0u);
    ASSERT_EQ(os.resumeProcess(script), 0u);
    ASSERT_EQ(os.waitForProcess(script.process, 30000), WaitResult::Signaled) << "the script ends at once";
    // The script has ended; the child it started lives on, in the job. (Under Wine the console
    // host that the script's console started counts too, for as long as the child lives.)
    std::vector<uint32_t> pids;
    ASSERT_EQ(os.jobProcessIds(job, pids), 0u);
    EXPECT_GE(pids.size(), 1u);
    EXPECT_EQ(os.terminateJob(job, 1), 0u);
    EXPECT_EQ(jobCountBecomes(os, job, 0, 10), 0u) << "ending the job ends the child";
}

TEST_F(Contract, AJobEndsNothingWhenItsLastHandleCloses) {
    ProcessInfo sleeper;
    {
        JobHandle job;
        ASSERT_EQ(os.createJob(job), 0u);
        ASSERT_EQ(os.createProcess(target().longRunningCommandLine(), target().scratchDirectory(),
                                   StartMode::Suspended, sleeper),
                  0u);
        ASSERT_EQ(os.assignProcessToJob(job, sleeper.process), 0u);
        ASSERT_EQ(os.resumeProcess(sleeper), 0u);
        EXPECT_EQ(jobCountBecomes(os, job, 1, 10), 1u);
    }
    EXPECT_EQ(os.waitForProcess(sleeper.process, 500), WaitResult::Timeout) << "it outlives the job's handle";
    EXPECT_EQ(os.terminateProcess(sleeper.process, 9), 0u);
    ASSERT_EQ(os.waitForProcess(sleeper.process, 10000), WaitResult::Signaled);
    uint32_t code = 0;
    EXPECT_EQ(os.getExitCodeProcess(sleeper.process, code), 0u);
    EXPECT_EQ(code, 9u);
}

TEST_F(Contract, AWaitOnSeveralHandlesEndsAtTheFirstThatIsSignaled) {
    EventHandle event;
    ASSERT_EQ(os.createEvent(event), 0u);
    ProcessInfo ends;
    ASSERT_EQ(os.createProcess(target().exitThreeCommandLine(), target().scratchDirectory(), StartMode::Running, ends),
              0u);
    ASSERT_EQ(os.waitForProcess(ends.process, 30000), WaitResult::Signaled);
    size_t signaled = 99;
    EXPECT_EQ(os.waitForAny({event}, 50, signaled), WaitResult::Timeout);
    // The first signaled handle in the list wins; the set event is reset by the wait it ends.
    ASSERT_EQ(os.setEvent(event), 0u);
    EXPECT_EQ(os.waitForAny({event, ends.process}, 1000, signaled), WaitResult::Signaled);
    EXPECT_EQ(signaled, 0u);
    EXPECT_EQ(os.waitForAny({event, ends.process}, 1000, signaled), WaitResult::Signaled);
    EXPECT_EQ(signaled, 1u) << "the event was reset";
    EXPECT_EQ(os.waitForAny({event}, 0, signaled), WaitResult::Timeout);
}

TEST_F(Contract, AWatchOfAFolderIsSignaledByAWriteInItUntilArmedAgain) {
    const std::string folder = target().scratchDirectory();
    const std::string path = folder + "vornel-contract-watch.txt";
    DirectoryWatch watch;
    ASSERT_EQ(os.watchDirectory(folder, watch), 0u);
    auto write = [&](const char* text) {
        std::FILE* file = os.openAppendStream(path);
        ASSERT_NE(file, nullptr);
        std::fputs(text, file);
        std::fclose(file);
    };
    size_t signaled = 99;
    write("1\n");
    EXPECT_EQ(os.waitForAny({watch}, 5000, signaled), WaitResult::Signaled);
    EXPECT_EQ(os.waitForAny({watch}, 0, signaled), WaitResult::Signaled) << "signaled until armed again";
    ASSERT_EQ(os.rearmDirectoryWatch(watch), 0u);
    // Whatever was still on its way from the write has arrived once the folder is quiet.
    for (int i = 0; i < 20 && os.waitForAny({watch}, 100, signaled) == WaitResult::Signaled; ++i) {
        ASSERT_EQ(os.rearmDirectoryWatch(watch), 0u);
    }
    EXPECT_EQ(os.waitForAny({watch}, 100, signaled), WaitResult::Timeout);
    write("2\n");
    EXPECT_EQ(os.waitForAny({watch}, 5000, signaled), WaitResult::Signaled);
    DirectoryWatch missing;
    const ErrorCode rc = os.watchDirectory(folder + "vornel-contract-no-such-folder", missing);
    EXPECT_TRUE(rc == win::kErrorFileNotFound || rc == win::kErrorPathNotFound) << rc;
}

TEST_F(Contract, AVolatileKeyHoldsValuesThatCanBeDeletedOneByOne) {
    RegKey key;
    ASSERT_EQ(os.regCreateVolatileKey(kRoot + "\\Runtime", key), 0u);
    ASSERT_EQ(os.regSetStringValue(key, "Phase", "starting"), 0u);
    ASSERT_EQ(os.regSetStringValue(key, "AgentPid", "1234"), 0u);
    RegKey again;
    ASSERT_EQ(os.regCreateVolatileKey(kRoot + "\\Runtime", again), 0u) << "an existing one opens as it is";
    ErrorCode rc = 1;
    EXPECT_EQ(read(kRoot + "\\Runtime", "Phase", rc), std::string("starting") + '\0');
    EXPECT_EQ(os.regDeleteValue(again, "AgentPid"), 0u);
    EXPECT_EQ(os.regDeleteValue(again, "AgentPid"), win::kErrorFileNotFound);
    read(kRoot + "\\Runtime", "AgentPid", rc);
    EXPECT_EQ(rc, win::kErrorFileNotFound);
    RegKey readOnly;
    ASSERT_EQ(os.regOpenKeyEx(kRoot + "\\Runtime", win::kKeyRead, readOnly), 0u);
    EXPECT_EQ(os.regDeleteValue(readOnly, "Phase"), win::kErrorAccessDenied);
}

TEST_F(Contract, ANamedJobIsThereAgainWhileAProcessOfItLives) {
    const std::string name = "Global\\Vornel contract job";
    ProcessInfo sleeper;
    {
        JobHandle job;
        bool existed = true;
        ASSERT_EQ(os.createNamedJob(name, job, existed), 0u);
        EXPECT_FALSE(existed);
        ASSERT_EQ(os.createProcess(target().longRunningCommandLine(), target().scratchDirectory(),
                                   StartMode::Suspended, sleeper),
                  0u);
        ASSERT_EQ(os.assignProcessToJob(job, sleeper.process), 0u);
        ASSERT_EQ(os.resumeProcess(sleeper), 0u);
    }
    // Its maker's handle is gone (as when the process that made it has ended); the process keeps it.
    JobHandle again;
    bool existed = false;
    ASSERT_EQ(os.createNamedJob(name, again, existed), 0u);
    EXPECT_TRUE(existed);
    std::vector<uint32_t> pids;
    ASSERT_EQ(os.jobProcessIds(again, pids), 0u);
    EXPECT_NE(std::find(pids.begin(), pids.end(), sleeper.processId), pids.end());
    ASSERT_EQ(os.terminateJob(again, 1), 0u);
    ASSERT_EQ(os.waitForProcess(sleeper.process, 10000), WaitResult::Signaled);
}

TEST_F(Contract, AJobListsItsLiveProcesses) {
    JobHandle job;
    ASSERT_EQ(os.createJob(job), 0u);
    ProcessInfo sleeper;
    ASSERT_EQ(os.createProcess(target().longRunningCommandLine(), target().scratchDirectory(), StartMode::Suspended,
                               sleeper),
              0u);
    ASSERT_EQ(os.assignProcessToJob(job, sleeper.process), 0u);
    ASSERT_EQ(os.resumeProcess(sleeper), 0u);
    std::vector<uint32_t> pids;
    ASSERT_EQ(os.jobProcessIds(job, pids), 0u);
    EXPECT_NE(std::find(pids.begin(), pids.end(), sleeper.processId), pids.end());
    ASSERT_EQ(os.terminateJob(job, 1), 0u);
    ASSERT_EQ(os.waitForProcess(sleeper.process, 10000), WaitResult::Signaled);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(os.jobProcessIds(job, pids), 0u);
        if (pids.empty()) break;
        os.sleep(50);
    }
    EXPECT_TRUE(pids.empty());
}

TEST_F(Contract, TheTickCountRisesAcrossASleep) {
    const uint64_t before = os.tickCount();
    os.sleep(50);
    EXPECT_GE(os.tickCount(), before + 30);
}

TEST_F(Contract, FilesAndProcessesCarryTheSystemTimeOfTheirWriteAndCreation) {
    const std::string path = target().scratchDirectory() + "vornel-contract-time.txt";
    std::remove(path.c_str());
    const uint64_t before = os.systemTime();
    std::FILE* file = os.openAppendStream(path);
    ASSERT_NE(file, nullptr);
    std::fputs("1\n", file);
    std::fclose(file);
    uint64_t written = 0;
    ASSERT_EQ(os.fileLastWriteTime(path, written), 0u);
    // File times can be coarser than the clock: allow two seconds either way.
    EXPECT_GE(written + 2000, before);
    EXPECT_LE(written, os.systemTime() + 2000);
    uint64_t none = 0;
    EXPECT_EQ(os.fileLastWriteTime(path + ".missing", none), win::kErrorFileNotFound);

    ProcessInfo info;
    ASSERT_EQ(os.createProcess(target().exitThreeCommandLine(), target().scratchDirectory(), StartMode::Running, info),
              0u);
    uint64_t created = 0;
    ASSERT_EQ(os.processCreationTime(info.process, created), 0u);
    EXPECT_GE(created + 2000, before);
    EXPECT_LE(created, os.systemTime() + 2000);
    EXPECT_EQ(os.waitForProcess(info.process, 30000), WaitResult::Signaled);
}

TEST_F(Contract, AKeysLastWriteTimeIsTheTimeOfItsLastValueWrite) {
    const std::string path = kRoot + "\\Written";
    const uint64_t before = os.systemTime();
    setString(path, "First", "1");
    RegKey key;
    ASSERT_EQ(os.regOpenKeyEx(path, win::kKeyRead, key), 0u);
    uint64_t first = 0;
    ASSERT_EQ(os.regKeyLastWriteTime(key, first), 0u);
    EXPECT_GE(first, before);
    EXPECT_LE(first, os.systemTime());
    os.sleep(50);
    setString(path, "Second", "2");
    uint64_t second = 0;
    ASSERT_EQ(os.regKeyLastWriteTime(key, second), 0u);
    EXPECT_GT(second, first);
}

TEST_F(Contract, TheSystemStartedBeforeNowAndTheBootTimeStaysPut) {
    // The boot time is now less the time since boot; two readings agree.
    const uint64_t boot = os.systemTime() - os.tickCount();
    EXPECT_LT(boot, os.systemTime());
    os.sleep(200);
    const uint64_t again = os.systemTime() - os.tickCount();
    EXPECT_LE(again > boot ? again - boot : boot - again, 1000u);
}

TEST_F(Contract, ANamedMutexHasOneOwnerAtATime) {
    const std::string name = "VornelContract mutex";
    MutexHandle first;
    ASSERT_EQ(os.acquireMutex(name, 0, first), 0u);
    ErrorCode meanwhile = 0;
    std::thread other([&] {
        MutexHandle second;
        meanwhile = os.acquireMutex(name, 100, second);
    });
    other.join();
    EXPECT_EQ(meanwhile, win::kWaitTimeout) << "owned by the first";
    first.reset();
    std::thread after([&] {
        MutexHandle third;
        meanwhile = os.acquireMutex(name, 100, third);
    });
    after.join();
    EXPECT_EQ(meanwhile, 0u) << "released by the first";
}

TEST_F(Contract, TextFilesReadInTextModeAndAppendStreamsAppend) {
    const std::string path = target().scratchDirectory() + "vornel-contract.txt";
    std::FILE* first = os.openAppendStream(path);
    ASSERT_NE(first, nullptr);
    std::fputs("1234\n", first);
    std::fclose(first);
    std::FILE* second = os.openAppendStream(path);
    ASSERT_NE(second, nullptr);
    std::fputs("5678\n", second);
    std::fclose(second);
    std::string content;
    ASSERT_EQ(os.readTextFile(path, content), 0u);
    EXPECT_EQ(content, "1234\n5678\n");
    EXPECT_EQ(os.readTextFile(path + ".missing", content), win::kErrorFileNotFound);
}

TEST_F(Contract, ACtrlZEndsATextFile) {
    const std::string path = target().scratchDirectory() + "vornel-contract-ctrlz.txt";
    std::remove(path.c_str());
    std::FILE* file = os.openAppendStream(path);
    ASSERT_NE(file, nullptr);
    std::fputs("12\x1a" "34\n", file);
    std::fclose(file);
    std::string content;
    ASSERT_EQ(os.readTextFile(path, content), 0u);
    EXPECT_EQ(content, "12");
}

TEST_F(Contract, DirectoriesAreMadeOneLevelAtATimeAndTellFilesApart) {
    // A name of its own each run: the suite has no call that removes a directory.
    const std::string top = target().scratchDirectory() + "vornel-contract-" + std::to_string(os.systemTime());
    EXPECT_EQ(os.createDirectory(top + "\\logs"), win::kErrorPathNotFound);
    uint32_t attributes = 0;
    EXPECT_EQ(os.fileAttributes(top + "\\logs", attributes), win::kErrorPathNotFound);
    EXPECT_EQ(os.fileAttributes(top, attributes), win::kErrorFileNotFound);
    ASSERT_EQ(os.createDirectory(top), 0u);
    EXPECT_EQ(os.createDirectory(top), win::kErrorAlreadyExists);
    ASSERT_EQ(os.createDirectory(top + "\\logs"), 0u);
    ASSERT_EQ(os.fileAttributes(top + "\\logs\\", attributes), 0u);
    EXPECT_NE(attributes & win::kFileAttributeDirectory, 0u);

    const std::string file = top + "\\logs\\a.txt";
    std::FILE* stream = os.openAppendStream(file);
    ASSERT_NE(stream, nullptr);
    std::fclose(stream);
    ASSERT_EQ(os.fileAttributes(file, attributes), 0u);
    EXPECT_EQ(attributes & win::kFileAttributeDirectory, 0u);
    EXPECT_EQ(os.createDirectory(file), win::kErrorAlreadyExists);
    std::remove(file.c_str());
}

// --- Services ---

class ServiceContract : public Contract {
protected:
    ServiceContract() {
        EXPECT_EQ(openServiceManager(), 0u);
        removeService();
    }
    ~ServiceContract() override { removeService(); }

    ErrorCode openServiceManager() { return os.openSCManager(win::kScManagerAllAccess, manager); }

    ErrorCode create(const std::string& name, ScHandle& service) {
        ServiceConfig config;
        config.name = name;
        config.displayName = std::string("Vornel contract service");
        config.binaryPathName = target().serviceImagePath();
        return os.createService(manager, config, service);
    }

    bool waitForState(const ScHandle& service, uint32_t state) {
        for (int i = 0; i < 200; ++i) {
            ServiceStatus status;
            if (os.queryServiceStatus(service, status) == 0 && status.dwCurrentState == state) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    void removeService() {
        ScHandle service;
        if (os.openService(manager, kContractServiceName, win::kServiceAllAccess, service) != 0) return;
        ServiceStatus status;
        os.controlService(service, win::kServiceControlStop, status);
        waitForState(service, win::kServiceStopped);
        os.deleteService(service);
        service.reset();
        (void)entryGone();
    }

    // The entry goes once the last handle is closed and the service's process has ended,
    // which can be a moment after it reported stopped: the answer of the last open.
    ErrorCode entryGone() {
        ErrorCode rc = 0;
        for (int i = 0; i < 100 && rc == 0; ++i) {
            ScHandle gone;
            rc = os.openService(manager, kContractServiceName, win::kServiceQueryStatus, gone);
            if (rc == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return rc;
    }

    ScHandle manager;
};

TEST_F(ServiceContract, OpeningAMissingServiceGives1060) {
    ScHandle service;
    EXPECT_EQ(os.openService(manager, "VornelContractNoSuchService", win::kServiceQueryStatus, service),
              win::kErrorServiceDoesNotExist);
    ScHandle nullManager;
    EXPECT_EQ(os.openService(nullManager, kContractServiceName, win::kServiceQueryStatus, service),
              win::kErrorInvalidHandle);
}

TEST_F(ServiceContract, LifeOfAServiceWithItsErrorCodes) {
    ScHandle created;
    ASSERT_EQ(create(kContractServiceName, created), 0u);
    ScHandle duplicate;
    EXPECT_EQ(create("vornelcontractSERVICE", duplicate), win::kErrorServiceExists);

    ScHandle service;
    ASSERT_EQ(os.openService(manager, kContractServiceName, win::kServiceAllAccess, service), 0u);
    ServiceStatus status;
    EXPECT_EQ(os.controlService(service, win::kServiceControlStop, status), win::kErrorServiceNotActive);

    ASSERT_EQ(os.startService(service), 0u);
    ASSERT_TRUE(waitForState(service, win::kServiceRunning));
    EXPECT_EQ(os.startService(service), win::kErrorServiceAlreadyRunning);

    EXPECT_EQ(os.controlService(service, win::kServiceControlStop, status), 0u);
    ASSERT_TRUE(waitForState(service, win::kServiceStopped));
    EXPECT_EQ(os.controlService(service, win::kServiceControlStop, status), win::kErrorServiceNotActive);

    EXPECT_EQ(os.deleteService(service), 0u);
    EXPECT_EQ(os.deleteService(service), win::kErrorServiceMarkedForDelete);
    service.reset();
    created.reset();
    EXPECT_EQ(entryGone(), win::kErrorServiceDoesNotExist);
}

// A running contract service, opened with every right.
class RunningServiceContract : public ServiceContract {
protected:
    void SetUp() override {
        ScHandle created;
        ASSERT_EQ(create(kContractServiceName, created), 0u);
        ASSERT_EQ(os.openService(manager, kContractServiceName, win::kServiceAllAccess, service), 0u);
        ASSERT_EQ(os.startService(service), 0u);
        ASSERT_TRUE(waitForState(service, win::kServiceRunning));
    }
    ScHandle service;
};

TEST_F(RunningServiceContract, AControlIsAnsweredOnceItsHandlerHasReturned) {
    ServiceStatus answer;
    ASSERT_EQ(os.controlService(service, kSlowControl, answer), 0u);
    // The status that comes with the answer is the handler's last report.
    EXPECT_EQ(answer.dwCheckPoint, kSlowControlDone);
}

TEST_F(RunningServiceContract, AControlSentWhileAHandlerRunsIsHandledAfterIt) {
    // The handlers write what they do into the marker file, in the order they do it.
    auto marks = [&] {
        std::string content;
        (void)os.readTextFile(slowControlMarker(), content);
        return content;
    };
    const size_t before = marks().size();
    ServiceStatus slowAnswer, quickAnswer;
    ErrorCode slowResult = 1;
    std::thread slow([&] { slowResult = os.controlService(service, kSlowControl, slowAnswer); });
    // The quick control goes once the slow one's handler runs.
    bool begun = false;
    for (int i = 0; i < 400 && !begun; ++i) {
        begun = marks().size() > before;
        if (!begun) os.sleep(25);
    }
    const ErrorCode quickResult = os.controlService(service, kQuickControl, quickAnswer);
    slow.join();
    ASSERT_TRUE(begun);
    EXPECT_EQ(slowResult, 0u);
    EXPECT_EQ(quickResult, 0u);
    EXPECT_EQ(marks().substr(before), "begun\ndone\nquick\n") << "one handler at a time";
    EXPECT_EQ(slowAnswer.dwCheckPoint, kSlowControlDone);
    EXPECT_EQ(quickAnswer.dwCheckPoint, kQuickControlDone);
}

TEST_F(ServiceContract, TheStatusNamesTheServicesProcessOnlyWhileItRuns) {
    ScHandle created;
    ASSERT_EQ(create(kContractServiceName, created), 0u);
    ScHandle service;
    ASSERT_EQ(os.openService(manager, kContractServiceName, win::kServiceAllAccess, service), 0u);
    ServiceStatus status;
    uint32_t pid = 1;
    ASSERT_EQ(os.queryServiceStatusEx(service, status, pid), 0u);
    EXPECT_EQ(status.dwCurrentState, win::kServiceStopped);
    EXPECT_EQ(pid, 0u);

    ASSERT_EQ(os.startService(service), 0u);
    ASSERT_TRUE(waitForState(service, win::kServiceRunning));
    ASSERT_EQ(os.queryServiceStatusEx(service, status, pid), 0u);
    EXPECT_EQ(status.dwCurrentState, win::kServiceRunning);
    ASSERT_NE(pid, 0u);
    // The least a tool asks of a process it only watches.
    ProcessHandle process;
    ASSERT_EQ(os.openProcess(pid, win::kSynchronize | win::kProcessQueryLimitedInformation, process), 0u);
    EXPECT_EQ(os.waitForProcess(process, 0), WaitResult::Timeout);

    EXPECT_EQ(os.controlService(service, win::kServiceControlStop, status), 0u);
    ASSERT_TRUE(waitForState(service, win::kServiceStopped));
    ASSERT_EQ(os.queryServiceStatusEx(service, status, pid), 0u);
    EXPECT_EQ(pid, 0u);

    ScHandle startOnly;
    ASSERT_EQ(os.openService(manager, kContractServiceName, win::kServiceStart, startOnly), 0u);
    EXPECT_EQ(os.queryServiceStatusEx(startOnly, status, pid), win::kErrorAccessDenied);
}

TEST_F(ServiceContract, TheConfigurationReadsBackAsCreatedAndChanged) {
    ScHandle created;
    ASSERT_EQ(create(kContractServiceName, created), 0u);
    ScHandle service;
    ASSERT_EQ(os.openService(manager, kContractServiceName, win::kServiceQueryConfig | win::kServiceChangeConfig,
                             service),
              0u);
    ServiceConfig config;
    ASSERT_EQ(os.queryServiceConfig(service, config), 0u);
    EXPECT_EQ(config.serviceType, win::kServiceWin32OwnProcess);
    EXPECT_EQ(config.startType, win::kServiceDemandStart);
    EXPECT_EQ(config.binaryPathName, target().serviceImagePath());
    EXPECT_EQ(config.displayName, std::optional<std::string>("Vornel contract service"));
    EXPECT_EQ(config.account, std::optional<std::string>("LocalSystem"));

    ASSERT_EQ(os.changeServiceConfig(service, win::kServiceDisabled, std::nullopt, std::nullopt), 0u);
    ASSERT_EQ(os.queryServiceConfig(service, config), 0u);
    EXPECT_EQ(config.startType, win::kServiceDisabled);

    ScHandle statusOnly;
    ASSERT_EQ(os.openService(manager, kContractServiceName, win::kServiceQueryStatus, statusOnly), 0u);
    EXPECT_EQ(os.queryServiceConfig(statusOnly, config), win::kErrorAccessDenied);
}

TEST_F(ServiceContract, TheServiceKeyHoldsTheImagePathAsGiven) {
    ScHandle created;
    ASSERT_EQ(create(kContractServiceName, created), 0u);
    ErrorCode rc = 1;
    std::string data = read("SYSTEM\\CurrentControlSet\\Services\\" + std::string(kContractServiceName), "ImagePath", rc);
    EXPECT_EQ(rc, 0u);
    EXPECT_EQ(data, target().serviceImagePath() + '\0');
}

// The optional settings of a service, as the service manager keeps them in the service key.
TEST_F(ServiceContract, DependenciesAndThePreshutdownTimeOutAreKeptInTheServiceKey) {
    ScHandle service;
    ASSERT_EQ(create(kContractServiceName, service), 0u);
    const std::string key = "SYSTEM\\CurrentControlSet\\Services\\" + std::string(kContractServiceName);
    ASSERT_EQ(os.changeServiceDependencies(service, {"VornelContractOne", "VornelContractTwo", "+VornelGroup"}), 0u);
    ErrorCode rc = 1;
    EXPECT_EQ(read(key, "DependOnService", rc), std::string("VornelContractOne\0VornelContractTwo\0\0", 37));
    EXPECT_EQ(rc, 0u);
    EXPECT_EQ(read(key, "DependOnGroup", rc), std::string("VornelGroup\0\0", 13));
    ASSERT_EQ(os.changeServiceDependencies(service, {}), 0u);
    read(key, "DependOnService", rc);
    EXPECT_EQ(rc, win::kErrorFileNotFound);
    read(key, "DependOnGroup", rc);
    EXPECT_EQ(rc, win::kErrorFileNotFound);

    ASSERT_EQ(os.setPreshutdownTimeout(service, 180000), 0u);
    EXPECT_EQ(read(key, "PreshutdownTimeout", rc), std::string("\x20\xBF\x02\x00", 4));
}

TEST_F(ServiceContract, TheDelayedStartAndTheFailureActionsFlagAreKeptWhereTheManagerSupportsThem) {
    ScHandle service;
    ASSERT_EQ(create(kContractServiceName, service), 0u);
    const std::string key = "SYSTEM\\CurrentControlSet\\Services\\" + std::string(kContractServiceName);
    const ErrorCode delayed = os.setDelayedAutoStart(service, true);
    const ErrorCode flag = os.setFailureActionsFlag(service, true);
    FailureActions actions;
    actions.resetPeriodSeconds = 86400;
    actions.actions = {{win::kScActionRestart, 60000}, {win::kScActionRestart, 60000}, {win::kScActionRestart, 300000}};
    EXPECT_EQ(os.setFailureActions(service, actions), 0u);
    ErrorCode rc = 1;
    if (target().wineServiceManager()) {
        EXPECT_EQ(delayed, win::kErrorInvalidParameter);
        EXPECT_EQ(flag, win::kErrorInvalidParameter);
        read(key, "FailureActions", rc);
        EXPECT_EQ(rc, win::kErrorFileNotFound) << "Wine has begun to keep the failure actions";
        return;
    }
    EXPECT_EQ(delayed, 0u);
    EXPECT_EQ(flag, 0u);
    EXPECT_EQ(read(key, "DelayedAutostart", rc), std::string("\x01\0\0\0", 4));
    EXPECT_EQ(read(key, "FailureActionsOnNonCrashFailures", rc), std::string("\x01\0\0\0", 4));
    const std::string stored = read(key, "FailureActions", rc);
    ASSERT_EQ(stored.size(), 20u + 3 * 8);
    EXPECT_EQ(stored.substr(0, 4), std::string("\x80\x51\x01\x00", 4));  // 86400
    EXPECT_EQ(stored.substr(12, 4), std::string("\x03\0\0\0", 4));       // three actions
    EXPECT_EQ(stored.substr(36, 8), std::string("\x01\0\0\0\xE0\x93\x04\x00", 8));  // restart after 300 s
}

}  // namespace

void setTarget(Target* target) { g_target = target; }
std::string slowControlMarker() { return target().scratchDirectory() + "vornel-contract-slow-control.txt"; }
Target& target() { return *g_target; }

ErrorCode runContractService(Platform& os) {
    const ErrorCode rc = os.runServiceDispatcher(kContractServiceName, [&os](int, char**) {
        // The handler may run on another thread than the service main; the handle is written
        // before the handler can be called and only read afterwards.
        auto handle = std::make_shared<StatusHandle>(0);
        (void)os.registerServiceCtrlHandlerEx(
            kContractServiceName,
            [&os, handle](uint32_t control) -> uint32_t {
                auto mark = [&os](const char* line) {
                    if (std::FILE* marker = os.openAppendStream(slowControlMarker())) {
                        std::fputs(line, marker);
                        std::fclose(marker);
                    }
                };
                ServiceStatus status{win::kServiceWin32OwnProcess, win::kServiceRunning, win::kServiceAcceptStop};
                switch (control) {
                    case win::kServiceControlStop: status.dwCurrentState = win::kServiceStopped; break;
                    case kSlowControl:
                        // Says that it has begun (a line in the marker file), reports, pauses
                        // and reports again: the answer shows which report was last.
                        mark("begun\n");
                        status.dwCheckPoint = kSlowControlBegun;
                        (void)os.setServiceStatus(*handle, status);
                        os.sleep(300);
                        mark("done\n");
                        status.dwCheckPoint = kSlowControlDone;
                        break;
                    case kQuickControl:
                        mark("quick\n");
                        status.dwCheckPoint = kQuickControlDone;
                        break;
                    default: break;
                }
                (void)os.setServiceStatus(*handle, status);
                return win::kErrorSuccess;
            },
            *handle);
        os.setServiceStatus(*handle, ServiceStatus{win::kServiceWin32OwnProcess, win::kServiceRunning,
                                                   win::kServiceAcceptStop});
    });
    // Wine's dispatcher returns at the stopped report, before the handler's answer has reached
    // the sender: a process that ended now would fail the sender's stop with 109.
    os.sleep(200);
    return rc;
}

}  // namespace vornel::contract
