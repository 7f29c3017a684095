#include "platform/DynLib.h"
#include "platform/LastError.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Platform;
namespace fs = std::filesystem;
using TestSupport::TTempFolder;

namespace {

const std::string cFixtureFolder = RINGLET_TEST_BINARY_DIR "/platform/fixtures/dynlib";
const std::string cFixtureFile = cFixtureFolder + "/libringletfixture.so";

using TAnswer = int (*)(int);
using TCount = int (*)();

// Sets RINGLET_LIBRARY_PATH for one test and puts the old value back.
class TLibraryPathScope {
public:
  explicit TLibraryPathScope(const std::optional<std::string>& value) {
    if (const char* old = std::getenv("RINGLET_LIBRARY_PATH")) {
      FOld = old;
    }
    if (value) {
      ::setenv("RINGLET_LIBRARY_PATH", value->c_str(), 1);
    } else {
      ::unsetenv("RINGLET_LIBRARY_PATH");
    }
  }
  ~TLibraryPathScope() {
    if (FOld) {
      ::setenv("RINGLET_LIBRARY_PATH", FOld->c_str(), 1);
    } else {
      ::unsetenv("RINGLET_LIBRARY_PATH");
    }
  }

private:
  std::optional<std::string> FOld;
};

bool Mapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::stringstream all;
  all << maps.rdbuf();
  return all.str().find(path) != std::string::npos;
}

std::string ProgramFolder() {
  return fs::read_symlink("/proc/self/exe").parent_path().string();
}

class DynLibTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(cFixtureFile)) << "fixture library not built: " << cFixtureFile;
  }
};

} // namespace

TEST(DynLibNameTest, BareNamesMapToSharedLibraryFiles) {
  EXPECT_EQ(LibraryFileName("TAPI32"), "libtapi32.so");
  EXPECT_EQ(LibraryFileName("tapi32"), "libtapi32.so");
  EXPECT_EQ(LibraryFileName("TAPI32.DLL"), "libtapi32.so");
  EXPECT_EQ(LibraryFileName("libTapi32"), "libtapi32.so");
  EXPECT_EQ(LibraryFileName("libFoo.so"), "libFoo.so") << "a file name keeps its case";
  EXPECT_EQ(LibraryFileName("libm.so.6"), "libm.so.6");
  EXPECT_EQ(LibraryFileName("/opt/X/TAPI32"), "/opt/X/TAPI32");
  EXPECT_EQ(LibraryFileName("./stand-in.so"), "./stand-in.so");
}

TEST_F(DynLibTest, BareNameFoundThroughRingletLibraryPath) {
  TLibraryPathScope scope("/nonexistent-ringlet-folder::" + cFixtureFolder);
  TLibraryHandle library = LoadLibrary("RingletFixture");
  ASSERT_NE(library, nullptr) << LibraryErrorText();
  EXPECT_EQ(fs::canonical(LibraryPath(library)), fs::canonical(cFixtureFile));

  auto answer = reinterpret_cast<TAnswer>(GetProcAddress(library, "RingletFixtureAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(20), 41);

  SetLastError(errSuccess);
  EXPECT_EQ(GetProcAddress(library, "RingletFixtureMissing"), nullptr);
  EXPECT_EQ(GetLastError(), errProcNotFound);
  EXPECT_NE(LibraryErrorText().find("RingletFixtureMissing"), std::string::npos)
      << LibraryErrorText();

  SetLastError(errSuccess);
  EXPECT_EQ(GetProcAddress(library, "RingletFixtureHidden"), nullptr)
      << "a function the library does not export was found";
  EXPECT_EQ(GetLastError(), errProcNotFound);
  auto viaHidden = reinterpret_cast<TAnswer>(GetProcAddress(library, "RingletFixtureViaHidden"));
  ASSERT_NE(viaHidden, nullptr);
  EXPECT_EQ(viaHidden(5), 4);

  EXPECT_TRUE(FreeLibrary(library));
}

TEST_F(DynLibTest, WithoutThePathTheFixtureIsNotFound) {
  TLibraryPathScope scope(std::nullopt);
  SetLastError(errSuccess);
  EXPECT_EQ(LoadLibrary("RingletFixture"), nullptr);
  EXPECT_EQ(GetLastError(), errFileNotFound);
  EXPECT_FALSE(LibraryErrorText().empty());
}

TEST_F(DynLibTest, MissingLibraryIsFileNotFound) {
  TLibraryPathScope scope(cFixtureFolder);
  SetLastError(errSuccess);
  EXPECT_EQ(LoadLibrary("RingletNoSuchLibrary"), nullptr);
  EXPECT_EQ(GetLastError(), errFileNotFound);
  EXPECT_FALSE(LibraryErrorText().empty());

  SetLastError(errSuccess);
  EXPECT_EQ(LoadLibrary("/nonexistent-ringlet-folder/libx.so"), nullptr);
  EXPECT_EQ(GetLastError(), errFileNotFound);

  SetLastError(errSuccess);
  EXPECT_EQ(LoadLibrary(""), nullptr);
  EXPECT_EQ(GetLastError(), errInvalidParameter);
}

TEST_F(DynLibTest, FoldersOfThePathAreSearchedInOrder) {
  TTempFolder copy;
  ASSERT_FALSE(copy.Path().empty());
  const fs::path copied = copy / "libringletfixture.so";
  fs::copy_file(cFixtureFile, copied);

  {
    TLibraryPathScope scope(copy.Path() + ":" + cFixtureFolder);
    TLibraryHandle library = LoadLibrary("RingletFixture");
    ASSERT_NE(library, nullptr) << LibraryErrorText();
    EXPECT_EQ(fs::canonical(LibraryPath(library)), fs::canonical(copied));
    EXPECT_TRUE(FreeLibrary(library));
  }
  {
    TLibraryPathScope scope(cFixtureFolder + ":" + copy.Path());
    TLibraryHandle library = LoadLibrary("RingletFixture");
    ASSERT_NE(library, nullptr) << LibraryErrorText();
    EXPECT_EQ(fs::canonical(LibraryPath(library)), fs::canonical(cFixtureFile));
    EXPECT_TRUE(FreeLibrary(library));
  }
}

TEST_F(DynLibTest, AFileTheLoaderRefusesEndsTheSearch) {
  TTempFolder broken;
  TTempFolder good;
  ASSERT_FALSE(broken.Path().empty());
  ASSERT_FALSE(good.Path().empty());
  std::ofstream(broken / "libringletbroken.so") << "not a shared library\n";
  fs::copy_file(cFixtureFile, good / "libringletbroken.so");

  TLibraryPathScope scope(broken.Path() + ":" + good.Path());
  SetLastError(errSuccess);
  EXPECT_EQ(LoadLibrary("RingletBroken"), nullptr);
  EXPECT_EQ(GetLastError(), errBadExeFormat);
  EXPECT_NE(LibraryErrorText().find("libringletbroken.so"), std::string::npos)
      << LibraryErrorText();
}

TEST_F(DynLibTest, SystemSearchAndExplicitPaths) {
  TLibraryPathScope scope(std::nullopt);
  TLibraryHandle math = LoadLibrary("libm.so.6");
  ASSERT_NE(math, nullptr) << LibraryErrorText();
  using TCos = double (*)(double);
  auto cosine = reinterpret_cast<TCos>(GetProcAddress(math, "cos"));
  ASSERT_NE(cosine, nullptr);
  EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
  EXPECT_TRUE(FreeLibrary(math));

  TLibraryHandle byPath = LoadLibrary(cFixtureFile);
  ASSERT_NE(byPath, nullptr) << LibraryErrorText();
  EXPECT_NE(GetProcAddress(byPath, "RingletFixtureAnswer"), nullptr);
  EXPECT_TRUE(FreeLibrary(byPath));
}

TEST_F(DynLibTest, ProgramLibraryFolderIsSearched) {
  // ../lib beside the test program, as an installed program keeps its libraries.
  const fs::path libFolder = fs::path(ProgramFolder()) / ".." / "lib";
  const bool existed = fs::exists(libFolder);
  fs::create_directories(libFolder);
  const fs::path copied = libFolder / "libringletownfolderfixture.so";
  fs::copy_file(cFixtureFile, copied, fs::copy_options::overwrite_existing);

  TLibraryPathScope scope(std::nullopt);
  TLibraryHandle library = LoadLibrary("RingletOwnFolderFixture");
  EXPECT_NE(library, nullptr) << LibraryErrorText();
  if (library != nullptr) {
    EXPECT_EQ(fs::canonical(LibraryPath(library)), fs::canonical(copied));
    EXPECT_TRUE(FreeLibrary(library));
  }
  fs::remove(copied);
  if (!existed) {
    fs::remove(libFolder);
  }
}

TEST_F(DynLibTest, HandlesAreCountedAndStaleHandlesRefused) {
  TLibraryPathScope scope(cFixtureFolder);
  TLibraryHandle first = LoadLibrary("RingletFixture");
  TLibraryHandle second = LoadLibrary("RingletFixture");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  auto countFirst = reinterpret_cast<TCount>(GetProcAddress(first, "RingletFixtureCount"));
  auto countSecond = reinterpret_cast<TCount>(GetProcAddress(second, "RingletFixtureCount"));
  ASSERT_NE(countFirst, nullptr);
  ASSERT_EQ(countFirst, countSecond) << "two loads of one library are one copy";
  const int before = countFirst();

  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_TRUE(Mapped(fs::canonical(cFixtureFile).string())) << "unloaded while still loaded";
  EXPECT_EQ(countSecond(), before + 1) << "the copy lost its state while still loaded";

  SetLastError(errSuccess);
  EXPECT_FALSE(FreeLibrary(first)) << "a handle was freed twice";
  EXPECT_EQ(GetLastError(), errInvalidHandle);
  SetLastError(errSuccess);
  EXPECT_EQ(GetProcAddress(first, "RingletFixtureAnswer"), nullptr);
  EXPECT_EQ(GetLastError(), errInvalidHandle);
  EXPECT_EQ(LibraryPath(first), "");

  EXPECT_TRUE(FreeLibrary(second));
  EXPECT_FALSE(Mapped(fs::canonical(cFixtureFile).string())) << "still mapped after the last free";

  SetLastError(errSuccess);
  EXPECT_FALSE(FreeLibrary(nullptr));
  EXPECT_EQ(GetLastError(), errInvalidHandle);
  EXPECT_EQ(GetProcAddress(nullptr, "RingletFixtureAnswer"), nullptr);
}

TEST_F(DynLibTest, LoadingFromSeveralThreads) {
  TLibraryPathScope scope(cFixtureFolder);
  TLibraryHandle keep = LoadLibrary("RingletFixture"); // one load stays throughout
  ASSERT_NE(keep, nullptr);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        TLibraryHandle library = LoadLibrary("RingletFixture");
        auto answer = reinterpret_cast<TAnswer>(GetProcAddress(library, "RingletFixtureAnswer"));
        if (library == nullptr || answer == nullptr || answer(i) != 2 * i + 1 ||
            !FreeLibrary(library)) {
          ++failures;
        }
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(FreeLibrary(keep));
}
