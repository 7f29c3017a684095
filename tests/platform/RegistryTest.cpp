#include "platform/Registry.h"
#include "platform/LastError.h"

#include "SettingsTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>
#include <thread>

using namespace Platform;
using namespace SettingsTest;

namespace {

const std::string TapiKey = "SOFTWARE\\Quillwork\\Orvo\\TAPI";

class RegistryTest : public ::testing::Test {
protected:
  TTempFolder Folder;
  std::string File = Folder / "config/ringlet/registry";
  TRegistryStore Store{File};
};

// Saves an environment variable and puts it back when the test ends.
class TEnvGuard {
public:
  explicit TEnvGuard(const char* name) : FName(name) {
    const char* value = std::getenv(name);
    FHad = value != nullptr;
    FValue = FHad ? value : "";
  }
  ~TEnvGuard() {
    if (FHad)
      ::setenv(FName, FValue.c_str(), 1);
    else
      ::unsetenv(FName);
  }

private:
  const char* FName;
  bool FHad;
  std::string FValue;
};

TEST_F(RegistryTest, MissingStoreReadsNothingAndCreatesNothing) {
  EXPECT_FALSE(Store.KeyExists(TapiKey));
  TRegistryKey key;
  SetLastError(errSuccess);
  EXPECT_EQ(Store.OpenKey(TapiKey, false, key), errFileNotFound);
  EXPECT_EQ(GetLastError(), errFileNotFound);
  EXPECT_FALSE(key.IsOpen());
  EXPECT_EQ(Store.DeleteKey(TapiKey), errFileNotFound);
  // The root always opens, and is empty.
  ASSERT_EQ(Store.OpenKey("", false, key), errSuccess);
  EXPECT_TRUE(key.SubKeyNames().empty());
  EXPECT_FALSE(key.ReadString("x").has_value());
  EXPECT_TRUE(FolderEntries(Folder.Path()).empty());
}

TEST_F(RegistryTest, CreatingAKeyCreatesItsParentsAndMatchesWithoutCase) {
  TRegistryKey key;
  ASSERT_EQ(Store.OpenKey("\\" + TapiKey + "\\", true, key), errSuccess);
  EXPECT_TRUE(key.IsOpen());
  EXPECT_EQ(key.Path(), TapiKey);
  EXPECT_TRUE(Store.KeyExists("software"));
  EXPECT_TRUE(Store.KeyExists("Software\\QUILLWORK"));
  EXPECT_TRUE(Store.KeyExists("software\\quillwork\\orvo\\tapi"));
  EXPECT_FALSE(Store.KeyExists("software\\quillwork\\orvo\\tap"));
  EXPECT_FALSE(Store.KeyExists("software\\quill"));

  // Opened in another spelling, the key keeps the spelling it was created with.
  TRegistryKey again;
  ASSERT_EQ(Store.OpenKey("software\\QUILLWORK\\orvo\\tapi", false, again), errSuccess);
  EXPECT_EQ(again.Path(), TapiKey);
  ASSERT_EQ(Store.OpenKey("Software\\Temp\\Ringlet\\Settings", true, again), errSuccess);
  EXPECT_EQ(again.Path(), "SOFTWARE\\Temp\\Ringlet\\Settings");

  TRegistryKey software;
  ASSERT_EQ(Store.OpenKey("Software", false, software), errSuccess);
  EXPECT_EQ(software.SubKeyNames(), (std::vector<std::string>{"Quillwork", "Temp"}));
  TRegistryKey root;
  ASSERT_EQ(Store.OpenKey("", false, root), errSuccess);
  EXPECT_EQ(root.SubKeyNames(), (std::vector<std::string>{"SOFTWARE"}));
  EXPECT_EQ(Store.OpenKey("Bad\x01Name", true, key), errInvalidParameter);
  EXPECT_FALSE(key.IsOpen());
}

TEST_F(RegistryTest, StringAndIntegerValuesRoundTrip) {
  TRegistryKey key;
  ASSERT_EQ(Store.OpenKey(TapiKey, true, key), errSuccess);
  static const char AwkwardBytes[] =
      "quote \" back\\slash \\n not a break\nbreak\r\ttab \x01\x7f nul\0 8bit \xe9";
  const std::string awkward(AwkwardBytes, sizeof AwkwardBytes - 1);
  ASSERT_EQ(key.WriteString("TapiDevice", "Standard 56000 bps Modem"), errSuccess);
  ASSERT_EQ(key.WriteString("Awkward \"name\"=\\", awkward), errSuccess);
  ASSERT_EQ(key.WriteString("", "the default value"), errSuccess);
  ASSERT_EQ(key.WriteInteger("$0000ABCD", 0xFFFFFFFFu), errSuccess);
  ASSERT_EQ(key.WriteInteger("Zero", 0), errSuccess);

  // A fresh store object reads from the file, not from anything cached.
  TRegistryKey fresh;
  ASSERT_EQ(TRegistryStore(File).OpenKey(TapiKey, false, fresh), errSuccess);
  EXPECT_EQ(fresh.ReadString("tapidevice"), "Standard 56000 bps Modem");
  EXPECT_EQ(fresh.ReadString("Awkward \"name\"=\\"), awkward);
  EXPECT_EQ(fresh.ReadString(""), "the default value");
  EXPECT_EQ(fresh.ReadInteger("$0000abcd"), 0xFFFFFFFFu);
  EXPECT_EQ(fresh.ReadInteger("Zero"), 0u);
  EXPECT_EQ(fresh.ValueKind("TapiDevice"), rvkString);
  EXPECT_EQ(fresh.ValueKind("Zero"), rvkInteger);
  EXPECT_EQ(fresh.ValueKind("Nothing"), rvkNone);
  EXPECT_FALSE(fresh.ValueExists("Nothing"));
  // A value of the other kind is not read as this kind.
  EXPECT_FALSE(fresh.ReadInteger("TapiDevice").has_value());
  EXPECT_FALSE(fresh.ReadString("Zero").has_value());

  // Overwriting replaces the value in place, kind included.
  ASSERT_EQ(key.WriteInteger("TAPIDEVICE", 7), errSuccess);
  EXPECT_EQ(key.ReadInteger("TapiDevice"), 7u);
  EXPECT_EQ(key.ValueNames(), (std::vector<std::string>{"TapiDevice", "Awkward \"name\"=\\", "",
                                                        "$0000ABCD", "Zero"}));
  // The file stays one line per value: the line break inside the value is escaped.
  std::string content = ReadFile(File);
  EXPECT_NE(content.find("[SOFTWARE\\Quillwork\\Orvo\\TAPI]\n\"TapiDevice\"=integer:7\n"),
            std::string::npos);
  EXPECT_NE(content.find("\"$0000ABCD\"=integer:4294967295\n"), std::string::npos);
  EXPECT_EQ(std::count(content.begin(), content.end(), '\0'), 0);
}

TEST_F(RegistryTest, DeletingValuesAndKeys) {
  TRegistryKey key;
  ASSERT_EQ(Store.OpenKey(TapiKey, true, key), errSuccess);
  ASSERT_EQ(key.WriteInteger("$00000010", 1), errSuccess);
  ASSERT_EQ(key.WriteInteger("$00000020", 2), errSuccess);
  ASSERT_EQ(key.WriteInteger("$00000030", 3), errSuccess);
  ASSERT_EQ(key.DeleteValue("$00000020"), errSuccess);
  EXPECT_EQ(key.ValueNames(), (std::vector<std::string>{"$00000010", "$00000030"}));
  EXPECT_EQ(key.DeleteValue("$00000020"), errFileNotFound);

  TRegistryKey child;
  ASSERT_EQ(key.OpenSubKey("Lines\\Line1", true, child), errSuccess);
  ASSERT_EQ(child.WriteString("Device", "/dev/ttyUSB0"), errSuccess);
  ASSERT_EQ(Store.CreateKey("SOFTWARE\\Quillwork\\Other"), errSuccess);
  EXPECT_EQ(key.SubKeyNames(), (std::vector<std::string>{"Lines"}));

  // Deleting a key takes its whole subtree and nothing beside it.
  ASSERT_EQ(Store.DeleteKey("software\\quillwork\\orvo"), errSuccess);
  EXPECT_FALSE(Store.KeyExists(TapiKey));
  EXPECT_FALSE(Store.KeyExists(TapiKey + "\\Lines\\Line1"));
  EXPECT_TRUE(Store.KeyExists("SOFTWARE\\Quillwork\\Other"));
  EXPECT_FALSE(key.Exists());
  EXPECT_TRUE(key.ValueNames().empty());
  EXPECT_FALSE(key.ReadInteger("$00000010").has_value());
  // Writing through a key that is gone fails instead of bringing it back.
  EXPECT_EQ(key.WriteInteger("$00000040", 4), errFileNotFound);
  EXPECT_EQ(child.WriteString("Device", "x"), errFileNotFound);
  EXPECT_FALSE(Store.KeyExists(TapiKey));
  EXPECT_EQ(Store.DeleteKey(TapiKey), errFileNotFound);
  EXPECT_EQ(Store.DeleteKey("\\"), errInvalidParameter);

  TRegistryKey closed;
  EXPECT_EQ(closed.WriteString("a", "b"), errInvalidHandle);
  EXPECT_EQ(closed.DeleteValue("a"), errInvalidHandle);
  EXPECT_FALSE(closed.Exists());
}

TEST_F(RegistryTest, RegistrationBookkeepingFlow) {
  // What the line device does: list "$pid" values, drop them, add its own.
  TRegistryKey key;
  ASSERT_EQ(Store.OpenKey(TapiKey, true, key), errSuccess);
  for (uint32_t pid : {0x1234u, 0xBEEFu, 0x7FFFFFFFu}) {
    char name[16];
    std::snprintf(name, sizeof name, "$%08X", pid);
    ASSERT_EQ(key.WriteInteger(name, pid * 2), errSuccess);
  }
  auto names = key.ValueNames();
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[1], "$0000BEEF");
  for (const std::string& name : names)
    ASSERT_EQ(key.DeleteValue(name), errSuccess);
  ASSERT_EQ(key.WriteInteger("$00000042", 0x10001), errSuccess);
  EXPECT_EQ(key.ValueNames(), (std::vector<std::string>{"$00000042"}));
  EXPECT_EQ(key.ReadInteger("$00000042"), 0x10001u);
}

TEST_F(RegistryTest, HandWrittenLinesAreReadAndKept) {
  std::filesystem::create_directories(Folder / "config/ringlet");
  WriteFile(File, "; my own notes\n"
                  "[Software\\Vendor\\App]\n"
                  "  \"Name\" =  \"Value\"  \n"
                  "# a comment under the key\n"
                  "garbage without quotes\n"
                  "\"Bad\"=integer:99999999999\n"
                  "\"Unclosed\"=\"abc\n"
                  "\x01\xff binary junk\n"
                  "\"Count\"=integer:12\n");
  // Software and Software\Vendor have no lines of their own but exist through App.
  EXPECT_TRUE(Store.KeyExists("software\\vendor"));
  TRegistryKey root, key;
  ASSERT_EQ(Store.OpenKey("", false, root), errSuccess);
  EXPECT_EQ(root.SubKeyNames(), (std::vector<std::string>{"Software"}));
  ASSERT_EQ(Store.OpenKey("Software\\Vendor\\App", false, key), errSuccess);
  EXPECT_EQ(key.ValueNames(), (std::vector<std::string>{"Name", "Count"}));
  EXPECT_EQ(key.ReadString("Name"), "Value");
  EXPECT_EQ(key.ReadInteger("Count"), 12u);
  EXPECT_FALSE(key.ValueExists("Bad"));

  ASSERT_EQ(key.WriteInteger("Count", 13), errSuccess);
  ASSERT_EQ(key.WriteString("Added", "new"), errSuccess);
  std::string content = ReadFile(File);
  for (const char* kept :
       {"; my own notes\n", "# a comment under the key\n", "garbage without quotes\n",
        "\"Bad\"=integer:99999999999\n", "\"Unclosed\"=\"abc\n", "\x01\xff binary junk\n"})
    EXPECT_NE(content.find(kept), std::string::npos) << kept;
  EXPECT_NE(content.find("\"Count\"=integer:13\n\"Added\"=\"new\"\n"), std::string::npos);
  // A value under an implicit parent gives that parent a line of its own.
  TRegistryKey vendor;
  ASSERT_EQ(Store.OpenKey("software\\vendor", false, vendor), errSuccess);
  ASSERT_EQ(vendor.WriteString("Here", "yes"), errSuccess);
  EXPECT_EQ(vendor.ReadString("here"), "yes");
  EXPECT_EQ(key.ReadInteger("Count"), 13u);
}

TEST_F(RegistryTest, DefaultFileFollowsTheEnvironment) {
  TEnvGuard file("RINGLET_REGISTRY_FILE"), xdg("XDG_CONFIG_HOME"), home("HOME");
  ::setenv("RINGLET_REGISTRY_FILE", "/somewhere/reg", 1);
  EXPECT_EQ(TRegistryStore::DefaultFileName(), "/somewhere/reg");
  ::unsetenv("RINGLET_REGISTRY_FILE");
  ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
  ::setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(TRegistryStore::DefaultFileName(), "/xdg/ringlet/registry");
  ::setenv("XDG_CONFIG_HOME", "relative/is/ignored", 1);
  EXPECT_EQ(TRegistryStore::DefaultFileName(), "/home/someone/.config/ringlet/registry");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(TRegistryStore::DefaultFileName(), "/home/someone/.config/ringlet/registry");

  // The default store really lands there, folders created on the first write.
  ::setenv("XDG_CONFIG_HOME", Folder.Path().c_str(), 1);
  TRegistryStore store;
  EXPECT_EQ(store.FileName(), Folder / "ringlet/registry");
  ASSERT_EQ(store.CreateKey("Software\\Temp\\Ringlet\\Settings"), errSuccess);
  struct stat st {};
  ASSERT_EQ(::stat((Folder / "ringlet/registry").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u) << "per-user settings are private";
}

TEST_F(RegistryTest, UnwritableLocationGivesAnErrorAndKeepsTheOldFile) {
  WriteFile(Folder / "plain", "x");
  TRegistryStore blocked(Folder / "plain/ringlet/registry");
  SetLastError(errSuccess);
  EXPECT_EQ(blocked.CreateKey(TapiKey), errPathNotFound);
  EXPECT_EQ(GetLastError(), errPathNotFound);
  EXPECT_FALSE(blocked.KeyExists(TapiKey));

  TRegistryKey key;
  ASSERT_EQ(Store.OpenKey(TapiKey, true, key), errSuccess);
  ASSERT_EQ(key.WriteString("TapiDevice", "Old"), errSuccess);
  const std::string before = ReadFile(File);
  const std::string folder = Folder / "config/ringlet";
  auto result = RunInChild([&]() -> uint32_t {
    if (!MakeFolderReadOnlyHere(folder))
      return NotPossible;
    return key.WriteString("TapiDevice", "Must not land");
  });
  ASSERT_TRUE(result.has_value());
  if (*result == NotPossible)
    GTEST_SKIP() << "no private read-only bind mount here";
  EXPECT_EQ(*result, errWriteProtect);
  EXPECT_EQ(ReadFile(File), before);
  EXPECT_EQ(key.ReadString("TapiDevice"), "Old");
}

TEST_F(RegistryTest, ConcurrentWritersInTwoProcessesLoseNothing) {
  constexpr int Rounds = 150;
  ASSERT_EQ(Store.CreateKey(TapiKey), errSuccess);
  std::vector<pid_t> children;
  for (int writer = 0; writer < 2; ++writer) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool ok = true;
      TRegistryKey shared, own;
      ok = Store.OpenKey(TapiKey, false, shared) == errSuccess;
      ok =
          Store.OpenKey("Software\\Writer" + std::to_string(writer), true, own) == errSuccess && ok;
      for (int i = 0; i < Rounds && ok; ++i) {
        const std::string name = "w" + std::to_string(writer) + "_" + std::to_string(i);
        ok = shared.WriteInteger(name, static_cast<uint32_t>(i)) == errSuccess &&
             own.WriteString(name, name) == errSuccess;
      }
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  // Meanwhile a reader must always find the file whole.
  int torn = 0;
  for (int i = 0; i < 300; ++i)
    torn += !Store.KeyExists(TapiKey);
  ASSERT_TRUE(AllChildrenSucceeded(children));
  EXPECT_EQ(torn, 0);

  TRegistryKey shared;
  ASSERT_EQ(Store.OpenKey(TapiKey, false, shared), errSuccess);
  EXPECT_EQ(shared.ValueNames().size(), 2u * Rounds);
  for (int writer = 0; writer < 2; ++writer) {
    TRegistryKey own;
    ASSERT_EQ(Store.OpenKey("Software\\Writer" + std::to_string(writer), false, own), errSuccess);
    EXPECT_EQ(own.ValueNames().size(), static_cast<size_t>(Rounds));
    for (int i = 0; i < Rounds; ++i) {
      const std::string name = "w" + std::to_string(writer) + "_" + std::to_string(i);
      EXPECT_EQ(shared.ReadInteger(name), static_cast<uint32_t>(i)) << name;
      EXPECT_EQ(own.ReadString(name), name);
    }
  }
}

TEST_F(RegistryTest, ConcurrentThreadsOfOneProcessLoseNothing) {
  // The lock belongs to each open of the lock file, so threads exclude each other too.
  constexpr int Rounds = 60;
  ASSERT_EQ(Store.CreateKey(TapiKey), errSuccess);
  std::vector<std::thread> threads;
  std::vector<int> failures(3, 0);
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      TRegistryKey key;
      if (Store.OpenKey(TapiKey, false, key) != errSuccess) {
        failures[t] = Rounds;
        return;
      }
      for (int i = 0; i < Rounds; ++i)
        failures[t] += key.WriteInteger("t" + std::to_string(t) + "_" + std::to_string(i),
                                        static_cast<uint32_t>(i)) != errSuccess;
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(failures, (std::vector<int>{0, 0, 0}));
  TRegistryKey key;
  ASSERT_EQ(Store.OpenKey(TapiKey, false, key), errSuccess);
  EXPECT_EQ(key.ValueNames().size(), 3u * Rounds);
}

} // namespace
