// The device selection dialog, offscreen, filled from the real telephony service and the
// real port probe (ports are pseudo-terminals named in a port table of the test's own).
#include "app/AdTSel.h"

#include "AppTestSupport.h"
#include "ModalWatcher.h"
#include "tapi/AdTUtil.h"

#include <QComboBox>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>

namespace {

using namespace AppTest;

// The slave side of a fresh pseudo-terminal, open as long as the object lives.
class TPty {
public:
  TPty() {
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (FMaster >= 0 && ::grantpt(FMaster) == 0 && ::unlockpt(FMaster) == 0)
      FSlave = ::ptsname(FMaster);
  }
  ~TPty() {
    if (FMaster >= 0)
      ::close(FMaster);
  }
  const std::string& Slave() const { return FSlave; }

private:
  int FMaster = -1;
  std::string FSlave;
};

class AdTSelTest : public ::testing::Test {
protected:
  void SetUp() override {
    App();
    ::setenv("RINGLET_TELEPHONY_CONFIG", (FFolder / "telephony.ini").c_str(), 1);
    ::setenv("RINGLET_REGISTRY_FILE", (FFolder / "registry").c_str(), 1);
    ::setenv("RINGLET_LIBRARY_PATH", RINGLET_BUILD_DIR "/telephony", 1);
    ::setenv("RINGLET_PORTS_FILE", (FFolder / "ports.ini").c_str(), 1);
    // Only the ports a test names exist.
    std::ofstream Ports(FFolder / "ports.ini");
    Ports << "[Ports]\n";
    for (int N = 1; N <= 50; ++N)
      Ports << "COM" << N << "=\n";
    UnloadTapi();
    WriteTelephonyConfig(
        FFolder / "telephony.ini",
        {{"Modem A", "/dev/null-a"}, {"Modem B", "/dev/null-b"}, {"Modem C", "/dev/null-c"}});
  }
  void TearDown() override {
    ::unsetenv("RINGLET_PORTS_FILE");
    UnloadTapi();
  }

  void NamePorts(const std::vector<std::pair<int, std::string>>& Ports) {
    std::ofstream File(FFolder / "ports.ini");
    File << "[Ports]\n";
    for (int N = 1; N <= 50; ++N) {
      std::string Path;
      for (const auto& [Number, Device] : Ports)
        if (Number == N)
          Path = Device;
      File << "COM" << N << "=" << Path << "\n";
    }
  }

  TTempFolder FFolder{"adtsel"};
};

TEST_F(AdTSelTest, FormLooksAsDesigned) {
  TDeviceSelectionForm Form;
  EXPECT_EQ("Device Selection", Form.windowTitle().toStdString());
  EXPECT_EQ(QSize(226, 75), Form.size());
  EXPECT_EQ(QPoint(8, 8), Form.dsfComboBox->pos());
  EXPECT_EQ(209, Form.dsfComboBox->width());
  EXPECT_FALSE(Form.dsfComboBox->isEditable());
  EXPECT_EQ(QRect(56, 40, 75, 27), Form.dsfOkBitBtn->geometry());
  EXPECT_EQ(QRect(140, 40, 75, 27), Form.dsfCancelBitBtn->geometry());
  EXPECT_EQ("OK", Form.dsfOkBitBtn->text().toStdString());
  EXPECT_EQ("Cancel", Form.dsfCancelBitBtn->text().toStdString());
  EXPECT_TRUE(Form.dsfOkBitBtn->isDefault());
  EXPECT_EQ(tmAuto, Form.TapiMode);
  EXPECT_EQ(0, Form.FillCount()) << "nothing is asked before the first show";
}

TEST_F(AdTSelTest, ListsLinesInOrderAndPreselectsTheNamedOneIgnoringCase) {
  TModalWatcher Watcher;
  TDeviceSelectionForm Form;
  Form.ShowTapiDevices = true;
  Form.SelectedDevice = "modem b";
  EXPECT_EQ(1, Form.exec());
  ASSERT_EQ(1u, Watcher.Seen().size());
  EXPECT_EQ((std::vector<std::string>{"Modem A", "Modem B", "Modem C"}), Watcher.Seen()[0].Entries);
  EXPECT_EQ("Modem B", Watcher.Seen()[0].Current);
  EXPECT_EQ("Modem B", Form.SelectedDevice) << "the entry's own spelling";
  EXPECT_EQ(tmAuto, Form.TapiMode);
  EXPECT_EQ(0, Form.ComNumber);
}

TEST_F(AdTSelTest, NameNoLongerPresentSelectsTheFirstLine) {
  TModalWatcher Watcher;
  TDeviceSelectionForm Form;
  Form.ShowTapiDevices = true;
  Form.SelectedDevice = "Gone Modem";
  EXPECT_EQ(1, Form.exec());
  EXPECT_EQ("Modem A", Watcher.Seen().at(0).Current);
  EXPECT_EQ("Modem A", Form.SelectedDevice);
}

TEST_F(AdTSelTest, PortsFollowTheLinesAndParseOnOk) {
  TPty Three, Seven;
  ASSERT_FALSE(Three.Slave().empty());
  NamePorts({{3, Three.Slave()}, {7, Seven.Slave()}, {51, Three.Slave()}});
  TModalWatcher Watcher;
  Watcher.OnDevice = [](TDeviceSelectionForm& Form) {
    Form.dsfComboBox->setCurrentIndex(3); // "Direct to COM3"
    Form.dsfOkBitBtn->click();
  };
  TDeviceSelectionForm Form;
  Form.ShowTapiDevices = true;
  Form.ShowPorts = true;
  Form.TapiMode = tmOff;
  Form.ComNumber = 7;
  EXPECT_EQ(1, Form.exec());
  ASSERT_EQ(1u, Watcher.Seen().size());
  EXPECT_EQ((std::vector<std::string>{"Modem A", "Modem B", "Modem C", "Direct to COM3",
                                      "Direct to COM7"}),
            Watcher.Seen()[0].Entries);
  EXPECT_EQ("Direct to COM7", Watcher.Seen()[0].Current) << "preselected by port number";
  EXPECT_EQ(tmOff, Form.TapiMode);
  EXPECT_EQ(3, Form.ComNumber);
  EXPECT_EQ("Direct to COM3", Form.SelectedDevice);

  // The same dialog again, a line this time: back to a TAPI line, no port number.
  Watcher.OnDevice = [](TDeviceSelectionForm& F) {
    F.dsfComboBox->setCurrentIndex(1);
    F.dsfOkBitBtn->click();
  };
  EXPECT_EQ(1, Form.exec());
  EXPECT_EQ(tmAuto, Form.TapiMode);
  EXPECT_EQ(0, Form.ComNumber);
  EXPECT_EQ("Modem B", Form.SelectedDevice);
}

TEST_F(AdTSelTest, ASecondShowDoesNotQueryAgain) {
  TModalWatcher Watcher;
  TDeviceSelectionForm Form;
  Form.ShowTapiDevices = true;
  EXPECT_EQ(1, Form.exec());
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Modem A", "/dev/null-a"},
                                                   {"Modem B", "/dev/null-b"},
                                                   {"Modem C", "/dev/null-c"},
                                                   {"Modem D", "/dev/null-d"}});
  EXPECT_EQ(1, Form.exec());
  EXPECT_EQ(1, Form.FillCount());
  ASSERT_EQ(2u, Watcher.Seen().size());
  EXPECT_EQ(3u, Watcher.Seen()[1].Entries.size()) << "the kept list";
  EXPECT_EQ(3, Form.dsfComboBox->count());

  // A fresh dialog does see the new line, so the kept list above was not a coincidence.
  TDeviceSelectionForm Fresh;
  Fresh.ShowTapiDevices = true;
  EXPECT_EQ(1, Fresh.exec());
  EXPECT_EQ(4u, Watcher.Seen().at(2).Entries.size());
}

TEST_F(AdTSelTest, CancelEscapeAndTheCloseBoxGiveTwo) {
  TModalWatcher Watcher;
  TDeviceSelectionForm Form;
  Form.ShowTapiDevices = true;
  Form.SelectedDevice = "Modem C";
  Watcher.OnDevice = [](TDeviceSelectionForm& F) { F.dsfCancelBitBtn->click(); };
  EXPECT_EQ(2, Form.exec());
  Watcher.OnDevice = [](TDeviceSelectionForm& F) { QTest::keyClick(&F, Qt::Key_Escape); };
  EXPECT_EQ(2, Form.exec());
  Watcher.OnDevice = [](TDeviceSelectionForm& F) { F.close(); };
  EXPECT_EQ(2, Form.exec());
  EXPECT_EQ(3u, Watcher.Seen().size());
  EXPECT_EQ("Modem C", Form.SelectedDevice) << "nothing taken";
}

TEST_F(AdTSelTest, OkWithAnEmptyListActsAsCancel) {
  WriteTelephonyConfig(FFolder / "telephony.ini", {});
  TModalWatcher Watcher;
  TDeviceSelectionForm Form;
  Form.ShowTapiDevices = true;
  Form.SelectedDevice = "kept";
  EXPECT_EQ(2, Form.exec());
  ASSERT_EQ(1u, Watcher.Seen().size());
  EXPECT_TRUE(Watcher.Seen()[0].Entries.empty());
  EXPECT_EQ("kept", Form.SelectedDevice);
  EXPECT_EQ(tmAuto, Form.TapiMode);
}

TEST_F(AdTSelTest, ChooserCarriesTheRequestAndTheResult) {
  TModalWatcher Watcher;
  Watcher.OnDevice = [](TDeviceSelectionForm& F) {
    F.dsfComboBox->setCurrentIndex(2);
    F.dsfOkBitBtn->click();
  };
  TQtDeviceChooser Chooser;
  TDeviceChooserRequest Request;
  Request.SelectedDevice = "Modem B";
  TDeviceChooserResult Result = Chooser.Choose(Request);
  EXPECT_EQ("Modem B", Watcher.Seen().at(0).Current);
  EXPECT_EQ(1, Result.ModalResult);
  EXPECT_EQ("Modem C", Result.SelectedDevice);
  EXPECT_EQ(tmAuto, Result.TapiMode);

  Watcher.OnDevice = [](TDeviceSelectionForm& F) { F.reject(); };
  Result = Chooser.Choose(Request);
  EXPECT_EQ(2, Result.ModalResult);
  EXPECT_EQ("", Result.SelectedDevice);
}

TEST_F(AdTSelTest, ADialogNobodyClosesEndsAsAFailureInsteadOfAHang) {
  TModalWatcher Watcher(300);
  int Answered = 0;
  Watcher.OnDevice = [&](TDeviceSelectionForm&) { ++Answered; }; // forgets to close it
  TDeviceSelectionForm Form;
  Form.ShowTapiDevices = true;
  EXPECT_EQ(2, Form.exec()) << "closed by the watcher as cancelled";
  EXPECT_GE(Answered, 1);
  EXPECT_EQ(std::vector<std::string>{"Device Selection"}, Watcher.TakeStuck());

  // A dialog the test answers in time is no failure.
  Watcher.OnDevice = [](TDeviceSelectionForm& F) { F.dsfOkBitBtn->click(); };
  EXPECT_EQ(1, Form.exec());
  EXPECT_TRUE(Watcher.TakeStuck().empty());
}

} // namespace
