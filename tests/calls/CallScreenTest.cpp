// The call screen on real files in a temporary folder: names, blocking, the allow list,
// reloading on change and atomic additions.
#include "calls/CallScreen.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class CallScreenTest : public ::testing::Test {
protected:
  static fs::path Folder() {
    return fs::temp_directory_path() /
           ("ringlet-screen-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void SetUp() override {
    fs::remove_all(FFolder);
    FScreen.OnWarning = [this](const std::string& Text) { FWarnings.push_back(Text); };
  }
  void TearDown() override { fs::remove_all(FFolder); }

  void Write(const std::string& Path, const std::string& Text) {
    fs::create_directories(FFolder);
    // Through a new file and a rename, as editors save, so the inode changes too.
    std::ofstream(Path + ".new") << Text;
    fs::rename(Path + ".new", Path);
  }
  static std::string Read(const std::string& Path) {
    std::ifstream In(Path);
    std::stringstream Text;
    Text << In.rdbuf();
    return Text.str();
  }
  static TCallRecord Call(const std::string& Number, const std::string& Name,
                          TAbsence NumberAbsent = abNone) {
    TCallRecord Record;
    Record.Number = Number;
    Record.ID = NumberAbsent == abNone ? Number : "Private";
    Record.NumberAbsent = NumberAbsent;
    Record.Name = Name;
    Record.IDName = Name;
    return Record;
  }
  TCallRecord Screened(TCallRecord Record) {
    FScreen.Screen(Record);
    return Record;
  }

  fs::path FFolder = Folder();
  TCallScreen FScreen{DefaultScreenFiles(FFolder.string()), *FindCountry("US")};
  std::vector<std::string> FWarnings;
};

TEST_F(CallScreenTest, DefaultFilesFollowXdgConfigHome) {
  const std::string Home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
  EXPECT_EQ(DefaultScreenFiles().Contacts, "/xdg/ringlet/contacts.vcf");
  ::setenv("XDG_CONFIG_HOME", "relative", 1);
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(DefaultScreenFiles().BlockList, "/home/u/.config/ringlet/blocklist.txt");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(DefaultScreenFiles().AllowList, "/home/u/.config/ringlet/allowlist.txt");
  ::setenv("HOME", Home.c_str(), 1);
}

TEST_F(CallScreenTest, NoFilesChangeNothing) {
  const TCallRecord Record = Screened(Call("4075551212", "JOHN DOE"));
  EXPECT_EQ(Record.IDName, "JOHN DOE");
  EXPECT_EQ(Record.Contact, "");
  EXPECT_FALSE(Record.Blocked);
  EXPECT_TRUE(FWarnings.empty());
}

TEST_F(CallScreenTest, ContactNameReplacesTheNetworksAndIsNeverBlocked) {
  Write(FScreen.Files().Contacts,
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Mum\r\nTEL:+1 407 555 1212\r\nEND:VCARD\r\n");
  Write(FScreen.Files().BlockList, "407*\nname:doe\n");
  const TCallRecord Mum = Screened(Call("14075551212", "JOHN DOE"));
  EXPECT_EQ(Mum.IDName, "Mum");
  EXPECT_EQ(Mum.Contact, "Mum");
  EXPECT_EQ(Mum.Name, "JOHN DOE"); // the network's name is kept
  EXPECT_FALSE(Mum.Blocked);
  const TCallRecord Other = Screened(Call("4075559999", "JANE ROE"));
  EXPECT_EQ(Other.Contact, "");
  EXPECT_TRUE(Other.Blocked);
}

TEST_F(CallScreenTest, AllowListWinsAndNoBlockOnlyShows) {
  Write(FScreen.Files().BlockList, "withheld\n800*\n");
  Write(FScreen.Files().AllowList, "800 555 0199\n");
  EXPECT_TRUE(Screened(Call("", "", abWithheld)).Blocked);
  EXPECT_TRUE(Screened(Call("8005550100", "")).Blocked);
  EXPECT_FALSE(Screened(Call("18005550199", "")).Blocked);
  FScreen.SetBlocking(false);
  EXPECT_FALSE(Screened(Call("", "", abWithheld)).Blocked);
}

TEST_F(CallScreenTest, ChangedFilesAreReadAgainAndWarnOncePerRead) {
  Write(FScreen.Files().BlockList, "5550001\nbogus rule\n");
  EXPECT_TRUE(Screened(Call("5550001", "")).Blocked);
  EXPECT_FALSE(Screened(Call("5550002", "")).Blocked);
  ASSERT_EQ(FWarnings.size(), 1u); // read once, so told once
  EXPECT_NE(FWarnings[0].find("blocklist.txt:2:"), std::string::npos) << FWarnings[0];
  Write(FScreen.Files().BlockList, "5550002\n");
  EXPECT_FALSE(Screened(Call("5550001", "")).Blocked);
  EXPECT_TRUE(Screened(Call("5550002", "")).Blocked);
  fs::remove(FScreen.Files().BlockList);
  EXPECT_FALSE(Screened(Call("5550002", "")).Blocked);
  EXPECT_EQ(FWarnings.size(), 1u);
}

// As root the permission bits do not hold; without these capabilities they do.
bool DropFileCapabilities() {
  __user_cap_header_struct Header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct Data[2] = {};
  if (::syscall(SYS_capget, &Header, Data) != 0)
    return false;
  for (int Capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
    Data[0].effective &= ~(1u << Capability);
    Data[0].permitted &= ~(1u << Capability);
  }
  return ::syscall(SYS_capset, &Header, Data) == 0;
}

// One failed read (the file rewritten and unreadable for a moment) must not turn the rules
// off: the last good ones stay, and the file is read again at the next call. Run in a child
// without the capabilities that let root read any file; the child's exit status is the
// number of the first check that failed.
TEST_F(CallScreenTest, AFailedReadKeepsTheLastGoodRulesAndIsRetriedAtTheNextCall) {
  Write(FScreen.Files().BlockList, "5550001\n");
  const pid_t Child = ::fork();
  if (Child == 0) {
    if (!DropFileCapabilities())
      ::_exit(99);
    int Check = 0;
    const auto Expect = [&Check](bool Ok) {
      ++Check;
      if (!Ok)
        ::_exit(Check);
    };
    Expect(Screened(Call("5550001", "")).Blocked); // call 1
    Write(FScreen.Files().BlockList, "5550001\n5550002\n");
    fs::permissions(FScreen.Files().BlockList, fs::perms::none);
    Expect(Screened(Call("5550001", "")).Blocked); // call 2: the last good rules hold
    Expect(Screened(Call("5550001", "")).Blocked); // call 3
    Expect(FWarnings.size() == 1);                 // told once while it cannot be read
    fs::permissions(FScreen.Files().BlockList, fs::perms::owner_read | fs::perms::owner_write);
    Expect(Screened(Call("5550002", "")).Blocked); // call 4: read again once readable
    Expect(Screened(Call("5550001", "")).Blocked);
    Expect(FWarnings.size() == 1);
    ::_exit(0);
  }
  ASSERT_GT(Child, 0);
  int Status = 0;
  ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
  ASSERT_TRUE(WIFEXITED(Status)) << Status;
  if (WEXITSTATUS(Status) == 99)
    GTEST_SKIP() << "the capabilities could not be dropped";
  EXPECT_EQ(WEXITSTATUS(Status), 0) << "the check that failed";
}

// Editors on some systems start a UTF-8 file with a byte-order mark; the first card or rule
// is as good as the others.
TEST_F(CallScreenTest, AByteOrderMarkIsNotPartOfTheFirstCardOrRule) {
  const std::string Bom = "\xEF\xBB\xBF";
  Write(FScreen.Files().Contacts,
        Bom + "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Mum\r\nTEL:4075551212\r\nEND:VCARD\r\n");
  Write(FScreen.Files().BlockList, Bom + "5550001\n");
  Write(FScreen.Files().AllowList, Bom + "5550002\n");
  Write(FScreen.Files().BlockList, Bom + "5550001\n555000*\n");
  EXPECT_EQ(Screened(Call("4075551212", "X")).Contact, "Mum");
  EXPECT_TRUE(Screened(Call("5550001", "")).Blocked);
  EXPECT_FALSE(Screened(Call("5550002", "")).Blocked) << "allowed by the first allow rule";
  EXPECT_TRUE(FWarnings.empty()) << FWarnings.front();
}

TEST_F(CallScreenTest, AddContactAndBlockNumberKeepWhatIsThere) {
  const std::string Existing =
      "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:First\r\nTEL:5550001\r\nEND:VCARD"; // no line end
  Write(FScreen.Files().Contacts, Existing);
  EXPECT_EQ(FScreen.AddContact("Zo\xc3\xab", "4075551212"), "");
  const std::string Contacts = Read(FScreen.Files().Contacts);
  EXPECT_EQ(Contacts.rfind(Existing + "\r\nBEGIN:VCARD\r\n", 0), 0u) << Contacts;
  EXPECT_EQ(Screened(Call("4075551212", "X")).IDName, "Zo\xc3\xab");
  EXPECT_EQ(Screened(Call("5550001", "X")).IDName, "First");
  struct stat Info {};
  ASSERT_EQ(::stat(FScreen.Files().Contacts.c_str(), &Info), 0);

  // A new block list is created, with its folder; a number already there is not added again.
  EXPECT_EQ(FScreen.BlockNumber("9005550000"), "");
  EXPECT_EQ(FScreen.BlockNumber("1-900-555-0000"), "");
  EXPECT_EQ(Read(FScreen.Files().BlockList), "9005550000\n");
  ASSERT_EQ(::stat(FScreen.Files().BlockList.c_str(), &Info), 0);
  EXPECT_EQ(Info.st_mode & 0777, 0600u);
  Write(FScreen.Files().BlockList, "# mine\nwithheld");
  EXPECT_EQ(FScreen.BlockNumber("5550009"), "");
  EXPECT_EQ(Read(FScreen.Files().BlockList), "# mine\nwithheld\n5550009\n");
  EXPECT_TRUE(Screened(Call("5550009", "")).Blocked);

  // Nothing that could become a rule or a card of its own gets in.
  EXPECT_NE(FScreen.BlockNumber("5551234\nwithheld"), "");
  EXPECT_NE(FScreen.AddContact("Eve", "5551234\r\nEND:VCARD"), "");
  EXPECT_NE(FScreen.AddContact(" \r\n", "5551234"), "");
  EXPECT_EQ(Read(FScreen.Files().BlockList), "# mine\nwithheld\n5550009\n");
  EXPECT_TRUE(FWarnings.empty()) << FWarnings.front();
}

TEST_F(CallScreenTest, UnblockNumberTakesOutOnlyTheNumbersOwnRules) {
  const std::string Rules = "# from the web page\r\n1900*\r\n(407) 555-1212  # twice\r\n"
                            "name:4075551212\r\n4075551213\r\n+1 407 555 1212\r\nwithheld";
  Write(FScreen.Files().BlockList, Rules);
  EXPECT_TRUE(FScreen.NumberBlocked("407-555-1212"));
  EXPECT_FALSE(FScreen.NumberBlocked("19005550000")) << "a prefix is no number of its own";
  bool Found = false;
  EXPECT_EQ(FScreen.UnblockNumber("4075551212", Found), "");
  EXPECT_TRUE(Found);
  EXPECT_EQ(Read(FScreen.Files().BlockList),
            "# from the web page\r\n1900*\r\nname:4075551212\r\n4075551213\r\nwithheld");
  EXPECT_FALSE(FScreen.NumberBlocked("4075551212"));
  EXPECT_FALSE(Screened(Call("4075551212", "")).Blocked);
  EXPECT_TRUE(Screened(Call("4075551212", "4075551212")).Blocked) << "the name rule went too";

  // A number that has no rule of its own leaves the file as it is, and one that is not
  // a number is refused.
  const std::string Left = Read(FScreen.Files().BlockList);
  EXPECT_EQ(FScreen.UnblockNumber("19005550000", Found), "");
  EXPECT_FALSE(Found);
  EXPECT_NE(FScreen.UnblockNumber("name:4075551212", Found), "");
  EXPECT_FALSE(Found);
  EXPECT_EQ(Read(FScreen.Files().BlockList), Left);
  fs::remove(FScreen.Files().BlockList);
  EXPECT_EQ(FScreen.UnblockNumber("4075551213", Found), "");
  EXPECT_FALSE(Found);
  EXPECT_FALSE(fs::exists(FScreen.Files().BlockList));
  EXPECT_TRUE(FWarnings.empty()) << FWarnings.front();
}

TEST_F(CallScreenTest, UnreadableFolderIsReportedNotThrown) {
  fs::create_directories(FFolder);
  std::ofstream(FFolder / "plain") << "x";
  TCallScreen Screen(DefaultScreenFiles((FFolder / "plain").string()), *FindCountry("GB"));
  EXPECT_NE(Screen.BlockNumber("02079460958"), "");
  TCallRecord Record = Call("02079460958", "");
  Screen.Screen(Record);
  EXPECT_FALSE(Record.Blocked);
}

} // namespace
