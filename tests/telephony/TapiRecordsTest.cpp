// The exported functions and the sizing rules of the records they fill: dwNeededSize always
// set, nothing written past dwTotalSize, too small a fixed part refused.
#include "TapiTestSupport.h"
#include "telephony/TapiNames.h"

using namespace TapiTest;

namespace {

class TapiRecordsTest : public ::testing::Test {
protected:
  void SetUp() override {
    WriteConfig(Folder.Path() + "/telephony.ini",
                LineSection("Line1", "Modem One", "/dev/ttyRingletNone"));
    DWORD devices = 0;
    ASSERT_EQ(Tapi().Initialize(&FApp, nullptr, Callback, "TapiRecordsTest", &devices), 0);
    ASSERT_EQ(devices, 1u);
  }
  void TearDown() override { EXPECT_EQ(Tapi().Shutdown(FApp), 0); }

  TTempFolder Folder;
  HLINEAPP FApp = 0;
};

TEST(TapiExports, EveryLineFunctionIsExportedAndTheUnofferedOnesSaySo) {
  void* library = Tapi().Library;
  for (const char* name : TapiFunctionNames)
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  // Internals stay inside.
  EXPECT_EQ(dlsym(library, "_ZN9Telephony12TLineService8InstanceEv"), nullptr);

  EXPECT_EQ(Tapi().MonitorDigits(1, LINEDIGITMODE_DTMF), LONG(LINEERR_OPERATIONUNAVAIL));
  auto setMediaMode =
      reinterpret_cast<decltype(&lineSetMediaMode)>(dlsym(library, "lineSetMediaMode"));
  EXPECT_EQ(setMediaMode(1, LINEMEDIAMODE_DATAMODEM), LONG(LINEERR_OPERATIONUNAVAIL));
  auto getCountry = reinterpret_cast<decltype(&lineGetCountry)>(dlsym(library, "lineGetCountry"));
  LINECOUNTRYLIST countries{};
  countries.dwTotalSize = sizeof countries;
  EXPECT_EQ(getCountry(1, TAPI_VERSION_1_4, &countries), LONG(LINEERR_OPERATIONUNAVAIL));
}

TEST_F(TapiRecordsTest, DeviceCapabilitiesFollowTheSizingRules) {
  // The fixed part fits but the name does not: filled partially, the need reported.
  TRecordBuffer first(sizeof(LINEDEVCAPS));
  ASSERT_EQ(Tapi().GetDevCaps(FApp, 0, TAPI_VERSION_1_4, 0, first.As<LINEDEVCAPS>()), 0);
  const LINEDEVCAPS* partial = first.As<LINEDEVCAPS>();
  EXPECT_EQ(partial->dwTotalSize, 240u);
  EXPECT_GT(partial->dwNeededSize, 240u);
  EXPECT_EQ(partial->dwUsedSize, 240u);
  EXPECT_EQ(partial->dwLineNameSize, 0u);
  EXPECT_EQ(partial->dwLineFeatures, DWORD{LINEFEATURE_MAKECALL});
  EXPECT_TRUE(first.GuardIntact());

  // Grown to exactly the size asked for: everything is there.
  TRecordBuffer grown(partial->dwNeededSize);
  ASSERT_EQ(Tapi().GetDevCaps(FApp, 0, TAPI_VERSION_1_4, 0, grown.As<LINEDEVCAPS>()), 0);
  const LINEDEVCAPS* caps = grown.As<LINEDEVCAPS>();
  EXPECT_EQ(caps->dwNeededSize, caps->dwTotalSize);
  EXPECT_EQ(caps->dwUsedSize, caps->dwNeededSize);
  ASSERT_EQ(caps->dwLineNameSize, sizeof("Modem One")); // counted with its terminating zero
  EXPECT_LE(caps->dwLineNameOffset + caps->dwLineNameSize, caps->dwTotalSize);
  EXPECT_EQ(grown.StringAt(caps->dwLineNameOffset, caps->dwLineNameSize),
            std::string("Modem One", sizeof("Modem One")));
  EXPECT_EQ(caps->dwMediaModes, DWORD{LINEMEDIAMODE_DATAMODEM});
  EXPECT_EQ(caps->dwStringFormat, DWORD{STRINGFORMAT_ASCII});
  EXPECT_TRUE(grown.GuardIntact());

  // Smaller than the fixed part: refused, but the need is still told.
  TRecordBuffer tiny(100);
  EXPECT_EQ(Tapi().GetDevCaps(FApp, 0, TAPI_VERSION_1_4, 0, tiny.As<LINEDEVCAPS>()),
            LONG(LINEERR_STRUCTURETOOSMALL));
  EXPECT_EQ(tiny.As<LINEDEVCAPS>()->dwNeededSize, caps->dwNeededSize);
  EXPECT_TRUE(tiny.GuardIntact());
  TRecordBuffer sizeOnly(4);
  EXPECT_EQ(Tapi().GetDevCaps(FApp, 0, TAPI_VERSION_1_4, 0, sizeOnly.As<LINEDEVCAPS>()),
            LONG(LINEERR_STRUCTURETOOSMALL));
  EXPECT_TRUE(sizeOnly.GuardIntact());
}

TEST_F(TapiRecordsTest, WrongHandlesVersionsAndDevicesAreRefused) {
  TRecordBuffer caps(1024);
  EXPECT_EQ(Tapi().GetDevCaps(FApp + 999, 0, TAPI_VERSION_1_4, 0, caps.As<LINEDEVCAPS>()),
            LONG(LINEERR_INVALAPPHANDLE));
  EXPECT_EQ(Tapi().GetDevCaps(FApp, 1, TAPI_VERSION_1_4, 0, caps.As<LINEDEVCAPS>()),
            LONG(LINEERR_BADDEVICEID));
  EXPECT_EQ(Tapi().GetDevCaps(FApp, 0, 0x00020000, 0, caps.As<LINEDEVCAPS>()),
            LONG(LINEERR_INCOMPATIBLEAPIVERSION));
  DWORD version = 0;
  LINEEXTENSIONID extension;
  EXPECT_EQ(Tapi().Negotiate(FApp, 0, 0x00020000, 0x00030000, &version, &extension),
            LONG(LINEERR_INCOMPATIBLEAPIVERSION));
  EXPECT_EQ(Tapi().Negotiate(FApp, 0, 0x00010003, 0x00020000, &version, &extension), 0);
  EXPECT_EQ(version, DWORD{TAPI_VERSION_1_4});
  HLINE line = 0;
  // A device that does not exist cannot be opened, and that is not a hang.
  EXPECT_EQ(Tapi().Open(FApp, 0, &line, TAPI_VERSION_1_4, 0, 0, LINECALLPRIVILEGE_OWNER,
                        LINEMEDIAMODE_DATAMODEM, nullptr),
            LONG(LINEERR_RESOURCEUNAVAIL));
  EXPECT_EQ(Tapi().Open(FApp, 0, &line, TAPI_VERSION_1_4, 0, 0, LINECALLPRIVILEGE_OWNER,
                        LINEMEDIAMODE_G3FAX, nullptr),
            LONG(LINEERR_INVALMEDIAMODE));
  EXPECT_EQ(Tapi().Close(12345), LONG(LINEERR_INVALLINEHANDLE));
  EXPECT_EQ(Tapi().Answer(12345, nullptr, 0), LONG(LINEERR_INVALCALLHANDLE));
  HLINEAPP app = 0;
  DWORD devices = 0;
  EXPECT_EQ(Tapi().Initialize(&app, nullptr, nullptr, "x", &devices), LONG(LINEERR_INVALPOINTER));
}

TEST_F(TapiRecordsTest, DeviceConfigurationIsAVarStringThatRespectsItsSize) {
  TRecordBuffer small(sizeof(VARSTRING));
  ASSERT_EQ(Tapi().GetDevConfig(0, small.As<VARSTRING>(), "comm/datamodem"), 0);
  const DWORD needed = small.As<VARSTRING>()->dwNeededSize;
  EXPECT_GT(needed, sizeof(VARSTRING));
  EXPECT_EQ(small.As<VARSTRING>()->dwStringSize, 0u);
  EXPECT_TRUE(small.GuardIntact());

  TRecordBuffer full(needed);
  ASSERT_EQ(Tapi().GetDevConfig(0, full.As<VARSTRING>(), "COMM/DATAMODEM"), 0);
  const VARSTRING* config = full.As<VARSTRING>();
  EXPECT_EQ(config->dwStringOffset + config->dwStringSize, needed);
  const std::string text = full.StringAt(config->dwStringOffset, config->dwStringSize);
  EXPECT_NE(text.find("Device=/dev/ttyRingletNone\r\n"), std::string::npos);
  EXPECT_NE(text.find("Baud=115200\r\n"), std::string::npos);
  EXPECT_TRUE(full.GuardIntact());

  EXPECT_EQ(Tapi().GetDevConfig(0, full.As<VARSTRING>(), "wave/in"),
            LONG(LINEERR_INVALDEVICECLASS));
  EXPECT_EQ(Tapi().GetDevConfig(7, full.As<VARSTRING>(), "comm/datamodem"),
            LONG(LINEERR_BADDEVICEID));
}

} // namespace
