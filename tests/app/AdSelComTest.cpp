// The port selection dialog over real pseudo-terminals named through a ports table file.
#include "app/AdSelCom.h"

#include "AppTestSupport.h"
#include "ModalWatcher.h"
#include "common/AdExcept.h"
#include "platform/SerialDevice.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include <optional>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using AppTest::TTempFolder;

struct TPty {
  TPty() {
    termios Raw{};
    cfmakeraw(&Raw);
    char Name[128] = {};
    int Slave = -1;
    if (openpty(&Master, &Slave, Name, &Raw, nullptr) == 0) {
      ::close(Slave);
      Path = Name;
    }
  }
  ~TPty() {
    if (Master >= 0) {
      ::close(Master);
    }
  }
  int Master = -1;
  std::string Path;
};

// Points the ports table at a file of the test's own that names only the given ports.
class TPortsFile {
public:
  TPortsFile(const TTempFolder& Folder, const std::vector<std::pair<int, std::string>>& Ports) {
    if (const char* Old = std::getenv("RINGLET_PORTS_FILE")) {
      FOld = Old;
    }
    std::string File = Folder / "ports.ini";
    std::ofstream Out(File);
    Out << "[Ports]\n";
    for (int Number = 1; Number <= 60; ++Number) {
      std::string Path;
      for (auto& Port : Ports) {
        if (Port.first == Number) {
          Path = Port.second;
        }
      }
      Out << "COM" << Number << "=" << Path << "\n";
    }
    ::setenv("RINGLET_PORTS_FILE", File.c_str(), 1);
  }
  ~TPortsFile() {
    if (FOld) {
      ::setenv("RINGLET_PORTS_FILE", FOld->c_str(), 1);
    } else {
      ::unsetenv("RINGLET_PORTS_FILE");
    }
  }

private:
  std::optional<std::string> FOld;
};

std::vector<std::string> Items(const TComSelectForm& Form) {
  std::vector<std::string> All;
  for (int I = 0; I < Form.PortsComboBox->count(); ++I) {
    All.push_back(Form.PortsComboBox->itemText(I).toStdString());
  }
  return All;
}

TEST(ComSelectFormTest, ListsPresentPortsInOrderAndSelectsTheFirst) {
  AppTest::App();
  TTempFolder Folder("selcom-list");
  TPty One, Three, Busy, Beyond;
  ASSERT_FALSE(One.Path.empty());
  ASSERT_FALSE(Three.Path.empty());
  ASSERT_FALSE(Busy.Path.empty());
  ASSERT_FALSE(Beyond.Path.empty());
  TPortsFile Ports(
      Folder,
      {{3, Three.Path}, {1, One.Path}, {2, Folder / "gone"}, {12, Busy.Path}, {51, Beyond.Path}});
  Platform::TSerialDevice Holder;
  ASSERT_TRUE(Holder.Open(Busy.Path));

  TComSelectForm Form;
  EXPECT_EQ("Select Port", Form.windowTitle().toStdString());
  EXPECT_EQ(QSize(220, 131), Form.size());
  EXPECT_EQ("The configured serial port is not valid.", Form.Label1->text().toStdString());
  EXPECT_EQ("Please choose another port.", Form.Label2->text().toStdString());
  EXPECT_EQ(QRect(8, 64, 201, 21), Form.PortsComboBox->geometry());
  EXPECT_FALSE(Form.PortsComboBox->isEditable());
  EXPECT_TRUE(Form.OkBtn->isDefault());

  // Port 12 is busy elsewhere and still offered; port 51 is beyond the list.
  EXPECT_EQ((std::vector<std::string>{"COM1", "COM3", "COM12"}), Items(Form));
  EXPECT_EQ(0, Form.PortsComboBox->currentIndex());
  EXPECT_EQ(1, Form.SelectedPort());
  Form.PortsComboBox->setCurrentIndex(2);
  EXPECT_EQ(12, Form.SelectedPort());
}

TEST(ComSelectFormTest, ButtonsGiveTheirModalResults) {
  AppTest::App();
  TTempFolder Folder("selcom-buttons");
  TPty One;
  ASSERT_FALSE(One.Path.empty());
  TPortsFile Ports(Folder, {{5, One.Path}});

  AppTest::TModalWatcher Watcher;
  for (auto [Button, Expected] : {std::pair{"OkBtn", 1}, std::pair{"AbortBtn", 3}}) {
    TComSelectForm Form;
    ASSERT_NE(nullptr, Form.findChild<QPushButton*>(Button));
    Watcher.OnPort = [Button = Button](TComSelectForm& Shown) {
      Shown.findChild<QPushButton*>(Button)->click();
    };
    EXPECT_EQ(Expected, Form.exec()) << Button;
    EXPECT_EQ(5, Form.SelectedPort());
  }
  TComSelectForm Form;
  Watcher.OnPort = [](TComSelectForm& Shown) { Shown.reject(); }; // Escape, the close box
  EXPECT_EQ(2, Form.exec());
  EXPECT_EQ(3u, Watcher.Seen().size());
}

TEST(ComSelectFormTest, NoPortsLeavesNothingToSelect) {
  AppTest::App();
  TTempFolder Folder("selcom-none");
  TPortsFile Ports(Folder, {});
  TComSelectForm Form;
  EXPECT_EQ(0, Form.PortsComboBox->count());
  EXPECT_EQ(-1, Form.PortsComboBox->currentIndex());
  try {
    Form.SelectedPort();
    ADD_FAILURE() << "no port, yet a selection";
  } catch (const ENoPortSelected& E) {
    EXPECT_EQ(ecNoPortSelected, E.ErrorCode());
  }
}

TEST(ComSelectFormTest, PortWithoutANumberOpensOnThePortPickedInTheDialog) {
  AppTest::App();
  TTempFolder Folder("selcom-chooser");
  TPty One, Four;
  ASSERT_FALSE(Four.Path.empty());
  TPortsFile Ports(Folder, {{1, One.Path}, {4, Four.Path}});
  TQtPortChooser Chooser;
  TPortChooser* Previous = SetPortChooser(&Chooser);

  AppTest::TModalWatcher Watcher;
  // The user picks the second port and presses OK.
  Watcher.OnPort = [](TComSelectForm& Form) {
    Form.PortsComboBox->setCurrentIndex(1);
    Form.OkBtn->click();
  };
  {
    TApdComPort Port(nullptr);
    Port.SetComNumber(0);
    Port.SetOpen(true);
    EXPECT_TRUE(Port.Open());
    EXPECT_EQ(4, Port.ComNumber());
    Port.SetOpen(false);
  }
  ASSERT_EQ(1u, Watcher.Seen().size());
  EXPECT_EQ((std::vector<std::string>{"COM1", "COM4"}), Watcher.Seen()[0].Entries);
  // Cancel leaves the port closed with -2011.
  Watcher.OnPort = [](TComSelectForm& Form) { Form.AbortBtn->click(); };
  {
    TApdComPort Port(nullptr);
    Port.SetComNumber(0);
    try {
      Port.SetOpen(true);
      ADD_FAILURE() << "a cancelled choice opened the port";
    } catch (const ENoPortSelected& E) {
      EXPECT_EQ(ecNoPortSelected, E.ErrorCode());
    }
    EXPECT_FALSE(Port.Open());
  }
  EXPECT_EQ(2u, Watcher.Seen().size());
  SetPortChooser(Previous);
}

} // namespace
