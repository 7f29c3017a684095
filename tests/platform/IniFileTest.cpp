#include "platform/IniFile.h"
#include "platform/LastError.h"

#include "SettingsTestSupport.h"

#include <algorithm>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace Platform;
using namespace SettingsTest;

namespace {

const std::string Sample = "; Ringlet settings\n"
                           "\n"
                           "[Settings]\n"
                           "TapiDevice = Old Modem\n"
                           "# remembered between runs\n"
                           "Volume=3\n"
                           "\n"
                           "; the next section is someone else's\n"
                           "[Other]\n"
                           "a=1\n";

class IniFileTest : public ::testing::Test {
protected:
  TTempFolder Folder;
  std::string Ini = Folder / "ringlet.ini";
};

TEST_F(IniFileTest, MissingFileReadsDefaultAndCreatesNothing) {
  EXPECT_EQ(GetProfileString(Ini, "Settings", "TapiDevice", ""), "");
  EXPECT_EQ(GetProfileString(Ini, "Settings", "TapiDevice", "fallback"), "fallback");
  EXPECT_TRUE(ReadSectionNames(Ini).empty());
  EXPECT_TRUE(ReadSection(Ini, "Settings").empty());
  EXPECT_EQ(DeleteProfileKey(Ini, "Settings", "TapiDevice"), errSuccess);
  EXPECT_EQ(DeleteProfileSection(Ini, "Settings"), errSuccess);
  EXPECT_TRUE(FolderEntries(Folder.Path()).empty());

  // Present file, missing section or key: the default as well.
  WriteFile(Ini, Sample);
  EXPECT_EQ(GetProfileString(Ini, "Nowhere", "TapiDevice", "d1"), "d1");
  EXPECT_EQ(GetProfileString(Ini, "Settings", "Nothing", "d2"), "d2");
  EXPECT_EQ(GetProfileString(Ini, "Other", "TapiDevice", "d3"), "d3");
}

TEST_F(IniFileTest, FirstWriteCreatesFileSectionAndKey) {
  ASSERT_EQ(WriteProfileString(Ini, "Settings", "TapiDevice", "Modem on ttyUSB0"), errSuccess);
  EXPECT_EQ(ReadFile(Ini), "[Settings]\nTapiDevice=Modem on ttyUSB0\n");
  EXPECT_EQ(GetProfileString(Ini, "Settings", "TapiDevice", ""), "Modem on ttyUSB0");
  // Only the file and its lock file: no temporary file is left behind.
  auto entries = FolderEntries(Folder.Path());
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"ringlet.ini", "ringlet.ini.lock"}));
}

TEST_F(IniFileTest, WritesKeepEveryOtherLineByteForByte) {
  WriteFile(Ini, Sample);
  ASSERT_EQ(WriteProfileString(Ini, "Settings", "TapiDevice", "New Modem"), errSuccess);
  std::string expected = Sample;
  expected.replace(expected.find("Old Modem"), 9, "New Modem");
  EXPECT_EQ(ReadFile(Ini), expected);

  // A new key goes after the section's last entry, before its trailing comment.
  ASSERT_EQ(WriteProfileString(Ini, "Other", "b", "2"), errSuccess);
  expected += "b=2\n";
  EXPECT_EQ(ReadFile(Ini), expected);
  ASSERT_EQ(WriteProfileString(Ini, "Settings", "Port", "COM 3"), errSuccess);
  expected.insert(expected.find("Volume=3\n") + 9, "Port=COM 3\n");
  EXPECT_EQ(ReadFile(Ini), expected);

  // A new section is appended, set apart by a blank line.
  ASSERT_EQ(WriteProfileString(Ini, "Line1", "Device", "/dev/ttyS0"), errSuccess);
  expected += "\n[Line1]\nDevice=/dev/ttyS0\n";
  EXPECT_EQ(ReadFile(Ini), expected);

  // Writing the value that is already there changes nothing.
  ASSERT_EQ(WriteProfileString(Ini, "Settings", "Volume", "3"), errSuccess);
  EXPECT_EQ(ReadFile(Ini), expected);
}

TEST_F(IniFileTest, KeepsLineEndingsAndAMissingFinalBreak) {
  WriteFile(Ini, "[A]\r\nx=1\r\n; note\r\n[B]\r\ny=2");
  ASSERT_EQ(WriteProfileString(Ini, "A", "x", "10"), errSuccess);
  EXPECT_EQ(ReadFile(Ini), "[A]\r\nx=10\r\n; note\r\n[B]\r\ny=2");
  ASSERT_EQ(WriteProfileString(Ini, "B", "z", "3"), errSuccess);
  EXPECT_EQ(ReadFile(Ini), "[A]\r\nx=10\r\n; note\r\n[B]\r\ny=2\r\nz=3\r\n");
  EXPECT_EQ(GetProfileString(Ini, "B", "y", ""), "2");
  EXPECT_EQ(GetProfileString(Ini, "A", "x", ""), "10");
}

TEST_F(IniFileTest, SectionsAndKeysMatchWithoutRegardToCase) {
  WriteFile(Ini, Sample);
  EXPECT_EQ(GetProfileString(Ini, "SETTINGS", "tapidevice", ""), "Old Modem");
  EXPECT_EQ(GetProfileString(Ini, " settings ", " TAPIDEVICE ", ""), "Old Modem");
  // A write in other case updates the same line and keeps the file's spelling.
  ASSERT_EQ(WriteProfileString(Ini, "sEtTiNgS", "TAPIDEVICE", "Third"), errSuccess);
  std::string content = ReadFile(Ini);
  EXPECT_NE(content.find("TapiDevice = Third\n"), std::string::npos);
  EXPECT_EQ(content.find("TAPIDEVICE"), std::string::npos);
  EXPECT_EQ(content.find("sEtTiNgS"), std::string::npos);
}

TEST_F(IniFileTest, BlanksAndCommentsFollowIniRules) {
  WriteFile(Ini, "[S]\n"
                 "\t  spaced  key \t=   value with inner  spaces \t \n"
                 ";hidden=1\n"
                 "#alsohidden=2\n"
                 "empty=\n"
                 "eq=a=b\n");
  EXPECT_EQ(GetProfileString(Ini, "S", "spaced  key", "-"), "value with inner  spaces");
  EXPECT_EQ(GetProfileString(Ini, "S", ";hidden", "-"), "-");
  EXPECT_EQ(GetProfileString(Ini, "S", "#alsohidden", "-"), "-");
  EXPECT_EQ(GetProfileString(Ini, "S", "empty", "-"), "");
  EXPECT_EQ(GetProfileString(Ini, "S", "eq", "-"), "a=b");
  // A device name with spaces comes back unchanged.
  ASSERT_EQ(WriteProfileString(Ini, "Settings", "TapiDevice", "Standard 56000 bps Modem"), 0u);
  EXPECT_EQ(GetProfileString(Ini, "Settings", "TapiDevice", ""), "Standard 56000 bps Modem");
}

TEST_F(IniFileTest, ReadsAreCutAt2048Characters) {
  std::string longValue;
  for (int i = 0; i < 5000; ++i)
    longValue += static_cast<char>('a' + i % 26);
  ASSERT_EQ(WriteProfileString(Ini, "S", "long", longValue), errSuccess);
  std::string read = GetProfileString(Ini, "S", "long", "");
  EXPECT_EQ(read.size(), ProfileValueLimit);
  EXPECT_EQ(read, longValue.substr(0, 2048));
  // The file and the section listing keep the whole value.
  EXPECT_NE(ReadFile(Ini).find(longValue), std::string::npos);
  auto entries = ReadSection(Ini, "S");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].second, longValue);
  // Exactly 2048 is not cut.
  ASSERT_EQ(WriteProfileString(Ini, "S", "edge", longValue.substr(0, 2048)), errSuccess);
  EXPECT_EQ(GetProfileString(Ini, "S", "edge", ""), longValue.substr(0, 2048));
}

TEST_F(IniFileTest, RefusesWhatWouldBreakTheFile) {
  WriteFile(Ini, Sample);
  SetLastError(errSuccess);
  EXPECT_EQ(WriteProfileString(Ini, "Settings", "TapiDevice", "two\nlines"), errInvalidParameter);
  EXPECT_EQ(GetLastError(), errInvalidParameter);
  EXPECT_EQ(WriteProfileString(Ini, "Settings", "TapiDevice", "cr\rhere"), errInvalidParameter);
  EXPECT_EQ(WriteProfileString(Ini, "Settings", "TapiDevice", std::string("nul\0x", 5)),
            errInvalidParameter);
  EXPECT_EQ(WriteProfileString(Ini, "Settings", "a=b", "v"), errInvalidParameter);
  EXPECT_EQ(WriteProfileString(Ini, "Settings", ";key", "v"), errInvalidParameter);
  EXPECT_EQ(WriteProfileString(Ini, "Settings", "[key", "v"), errInvalidParameter);
  EXPECT_EQ(WriteProfileString(Ini, "Settings", "  ", "v"), errInvalidParameter);
  EXPECT_EQ(WriteProfileString(Ini, "Sec]tion", "k", "v"), errInvalidParameter);
  EXPECT_EQ(WriteProfileString(Ini, "Two\nLines", "k", "v"), errInvalidParameter);
  // A line feed at an end is no blank to trim: such a name is refused, and names nothing.
  EXPECT_EQ(WriteProfileString(Ini, "Settings", "TapiDevice\n", "v"), errInvalidParameter);
  EXPECT_EQ(WriteProfileString(Ini, "\nSettings", "TapiDevice", "v"), errInvalidParameter);
  EXPECT_EQ(DeleteProfileKey(Ini, "Settings", "\nTapiDevice"), errInvalidParameter);
  EXPECT_EQ(GetProfileString(Ini, "Settings\n", "TapiDevice", "none"), "none");
  EXPECT_EQ(WriteProfileString(Ini, "", "k", "v"), errInvalidParameter);
  EXPECT_EQ(WriteProfileString("", "S", "k", "v"), errInvalidParameter);
  EXPECT_EQ(ReadFile(Ini), Sample);
}

TEST_F(IniFileTest, GarbageIsSkippedByReadsAndKeptByWrites) {
  static const char JunkBytes[] = "\x01\x02\xff\xfe binary\0junk\x7f";
  const std::string junk(JunkBytes, sizeof JunkBytes - 1);
  const std::string content = "no equals sign here\n" + junk + "\n[Settings]\n" +
                              "TapiDevice=Modem\n" + junk + "\n" + "=value without key\n" +
                              "[Broken header\n" + "Hidden=1\n" + "[Tail]\n" + "k=v\n";
  WriteFile(Ini, content);
  EXPECT_EQ(GetProfileString(Ini, "Settings", "TapiDevice", ""), "Modem");
  // Keys after a header without ']' belong to no reachable section.
  EXPECT_EQ(GetProfileString(Ini, "Settings", "Hidden", "-"), "-");
  EXPECT_EQ(GetProfileString(Ini, "Broken header", "Hidden", "-"), "-");
  EXPECT_EQ(GetProfileString(Ini, "Tail", "k", ""), "v");
  EXPECT_EQ(ReadSectionNames(Ini), (std::vector<std::string>{"Settings", "Tail"}));
  auto entries = ReadSection(Ini, "Settings");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], (std::pair<std::string, std::string>{"TapiDevice", "Modem"}));

  ASSERT_EQ(WriteProfileString(Ini, "Settings", "TapiDevice", "Other"), errSuccess);
  std::string expected = content;
  expected.replace(expected.find("TapiDevice=Modem"), 16, "TapiDevice=Other");
  EXPECT_EQ(ReadFile(Ini), expected);
  ASSERT_EQ(WriteProfileString(Ini, "Settings", "New", "1"), errSuccess);
  expected.insert(expected.find("TapiDevice=Other\n") + 17, "New=1\n");
  EXPECT_EQ(ReadFile(Ini), expected);
}

TEST_F(IniFileTest, ByteOrderMarkDoesNotHideTheFirstSection) {
  WriteFile(Ini, "\xEF\xBB\xBF[Settings]\nTapiDevice=Modem\n");
  EXPECT_EQ(GetProfileString(Ini, "Settings", "TapiDevice", ""), "Modem");
  ASSERT_EQ(WriteProfileString(Ini, "Settings", "TapiDevice", "X"), errSuccess);
  EXPECT_EQ(ReadFile(Ini), "\xEF\xBB\xBF[Settings]\nTapiDevice=X\n");
}

TEST_F(IniFileTest, FirstOccurrenceWinsAndDeletesRemoveAll) {
  WriteFile(Ini, "[S]\nk=first\nk=second\n[T]\nk=t\n[s]\nk=third\nm=1\n");
  EXPECT_EQ(GetProfileString(Ini, "S", "k", ""), "first");
  EXPECT_EQ(ReadSectionNames(Ini), (std::vector<std::string>{"S", "T"}));
  ASSERT_EQ(WriteProfileString(Ini, "S", "k", "changed"), errSuccess);
  EXPECT_EQ(ReadFile(Ini), "[S]\nk=changed\nk=second\n[T]\nk=t\n[s]\nk=third\nm=1\n");
  // Deleting the key must not let the duplicate below show through.
  ASSERT_EQ(DeleteProfileKey(Ini, "S", "K"), errSuccess);
  EXPECT_EQ(GetProfileString(Ini, "S", "k", "-"), "-");
  ASSERT_EQ(WriteProfileString(Ini, "s", std::nullopt), errSuccess);
  EXPECT_EQ(ReadFile(Ini), "[T]\nk=t\n");
  EXPECT_EQ(GetProfileString(Ini, "S", "m", "-"), "-");
}

TEST_F(IniFileTest, DeletingKeysAndSectionsKeepsTheRest) {
  WriteFile(Ini, Sample);
  ASSERT_EQ(WriteProfileString(Ini, "Settings", "Volume", std::nullopt), errSuccess);
  std::string expected = Sample;
  expected.erase(expected.find("Volume=3\n"), 9);
  EXPECT_EQ(ReadFile(Ini), expected);
  EXPECT_EQ(GetProfileString(Ini, "Settings", "Volume", "gone"), "gone");
  ASSERT_EQ(DeleteProfileKey(Ini, "Settings", "Missing"), errSuccess);
  EXPECT_EQ(ReadFile(Ini), expected);

  ASSERT_EQ(DeleteProfileSection(Ini, "OTHER"), errSuccess);
  EXPECT_EQ(ReadFile(Ini), expected.substr(0, expected.find("[Other]")));
  EXPECT_EQ(ReadSectionNames(Ini), (std::vector<std::string>{"Settings"}));
  EXPECT_EQ(GetProfileString(Ini, "Settings", "TapiDevice", ""), "Old Modem");
}

TEST_F(IniFileTest, SectionListingsFollowFileOrder) {
  ASSERT_EQ(WriteProfileString(Ini, "Line2", "Device", "/dev/ttyUSB1"), errSuccess);
  ASSERT_EQ(WriteProfileString(Ini, "Line1", "Device", "/dev/ttyUSB0"), errSuccess);
  ASSERT_EQ(WriteProfileString(Ini, "Line2", "Name", "Second"), errSuccess);
  ASSERT_EQ(WriteProfileString(Ini, "Line2", "Init", "AT+VCID=1"), errSuccess);
  EXPECT_EQ(ReadSectionNames(Ini), (std::vector<std::string>{"Line2", "Line1"}));
  using TEntries = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(ReadSection(Ini, "line2"),
            (TEntries{{"Device", "/dev/ttyUSB1"}, {"Name", "Second"}, {"Init", "AT+VCID=1"}}));
  EXPECT_TRUE(ReadSection(Ini, "Line3").empty());
}

TEST_F(IniFileTest, KeepsPermissionsAndSymbolicLinks) {
  WriteFile(Ini, Sample);
  ASSERT_EQ(::chmod(Ini.c_str(), 0640), 0);
  ASSERT_EQ(WriteProfileString(Ini, "Settings", "TapiDevice", "X"), errSuccess);
  struct stat st {};
  ASSERT_EQ(::stat(Ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  const std::string link = Folder / "link.ini";
  ASSERT_EQ(::symlink("ringlet.ini", link.c_str()), 0);
  ASSERT_EQ(WriteProfileString(link, "Settings", "TapiDevice", "Through link"), errSuccess);
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(GetProfileString(Ini, "Settings", "TapiDevice", ""), "Through link");
}

TEST_F(IniFileTest, PathThroughARegularFileFailsCleanly) {
  WriteFile(Folder / "plain", "not a folder");
  const std::string inside = Folder / "plain/ringlet.ini";
  SetLastError(errSuccess);
  EXPECT_EQ(WriteProfileString(inside, "S", "k", "v"), errPathNotFound);
  EXPECT_EQ(GetLastError(), errPathNotFound);
  EXPECT_EQ(GetProfileString(inside, "S", "k", "dflt"), "dflt");
  EXPECT_EQ(WriteProfileString(Folder / "missing/ringlet.ini", "S", "k", "v"), errPathNotFound);
  EXPECT_EQ(ReadFile(Folder / "plain"), "not a folder");
}

TEST_F(IniFileTest, ReadOnlyFolderGivesAnErrorAndKeepsTheOldFile) {
  WriteFile(Ini, Sample);
  ASSERT_EQ(WriteProfileString(Ini, "Settings", "Volume", "4"), errSuccess); // lock file exists
  const std::string before = ReadFile(Ini);
  const std::string folder = Folder.Path();
  const std::string ini = Ini;
  auto result = RunInChild([&]() -> uint32_t {
    if (!MakeFolderReadOnlyHere(folder))
      return NotPossible;
    return WriteProfileString(ini, "Settings", "TapiDevice", "Must not land");
  });
  ASSERT_TRUE(result.has_value());
  if (*result == NotPossible)
    GTEST_SKIP() << "no private read-only bind mount here";
  EXPECT_EQ(*result, errWriteProtect);
  EXPECT_EQ(ReadFile(Ini), before);
}

TEST_F(IniFileTest, ImmutableFolderGivesAnErrorAndKeepsTheOldFile) {
  WriteFile(Ini, Sample);
  ASSERT_EQ(WriteProfileString(Ini, "Settings", "Volume", "4"), errSuccess);
  const std::string before = ReadFile(Ini);
  const auto entriesBefore = FolderEntries(Folder.Path());
  if (!SetImmutable(Folder.Path(), true))
    GTEST_SKIP() << "the immutable flag is not available here";
  SetLastError(errSuccess);
  uint32_t result = WriteProfileString(Ini, "Settings", "TapiDevice", "Must not land");
  uint32_t last = GetLastError();
  SetImmutable(Folder.Path(), false);
  EXPECT_EQ(result, errAccessDenied);
  EXPECT_EQ(last, errAccessDenied);
  EXPECT_EQ(ReadFile(Ini), before);
  EXPECT_EQ(FolderEntries(Folder.Path()).size(), entriesBefore.size());
}

TEST_F(IniFileTest, FailedWriteOfTheDataKeepsTheOldFile) {
  // A file size limit makes the write itself fail part-way, as a full disk would.
  WriteFile(Ini, Sample);
  const std::string ini = Ini;
  auto result = RunInChild([&]() -> uint32_t {
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {};
    limit.rlim_cur = limit.rlim_max = 1024;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
      return NotPossible;
    return WriteProfileString(ini, "Settings", "TapiDevice", std::string(4096, 'x'));
  });
  ASSERT_TRUE(result.has_value());
  ASSERT_NE(*result, NotPossible);
  EXPECT_NE(*result, errSuccess);
  EXPECT_EQ(ReadFile(Ini), Sample);
  auto entries = FolderEntries(Folder.Path());
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"ringlet.ini", "ringlet.ini.lock"}));
}

TEST_F(IniFileTest, ConcurrentWritersInTwoProcessesLoseNothing) {
  constexpr int Rounds = 150;
  WriteFile(Ini, "; shared\n[Settings]\nStable=yes\n");
  std::vector<pid_t> children;
  for (int writer = 0; writer < 2; ++writer) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool ok = true;
      for (int i = 0; i < Rounds; ++i) {
        std::string n = std::to_string(i);
        // Both writers share one section and also have one of their own.
        ok = WriteProfileString(Ini, "Settings", "w" + std::to_string(writer) + "_" + n, n) ==
                 errSuccess &&
             ok;
        ok =
            WriteProfileString(Ini, "Own" + std::to_string(writer), "k" + n, n) == errSuccess && ok;
      }
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  // Meanwhile a reader must never see a torn or half-written file.
  int torn = 0;
  for (int i = 0; i < 300; ++i)
    torn += GetProfileString(Ini, "Settings", "Stable", "missing") != "yes";
  ASSERT_TRUE(AllChildrenSucceeded(children));
  EXPECT_EQ(torn, 0);

  auto shared = ReadSection(Ini, "Settings");
  EXPECT_EQ(shared.size(), 1u + 2 * Rounds);
  for (int writer = 0; writer < 2; ++writer) {
    const std::string w = std::to_string(writer);
    EXPECT_EQ(ReadSection(Ini, "Own" + w).size(), static_cast<size_t>(Rounds));
    for (int i = 0; i < Rounds; ++i) {
      const std::string n = std::to_string(i);
      EXPECT_EQ(GetProfileString(Ini, "Settings", "w" + w + "_" + n, "lost"), n);
      EXPECT_EQ(GetProfileString(Ini, "Own" + w, "k" + n, "lost"), n);
    }
  }
  EXPECT_EQ(ReadFile(Ini).substr(0, 9), "; shared\n");
}

} // namespace
