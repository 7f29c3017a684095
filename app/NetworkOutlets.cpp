// The network outlets of the program.
#include "app/NetworkOutlets.h"

#include "calls/History.h"
#include "platform/IniFile.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

constexpr size_t DefaultMaxClients = 32;

// The first line of a small regular file; a device, a pipe or a huge file is refused (reading
// /dev/zero for a line would never end). Why says what is wrong, "" when the line was read.
std::string FirstLine(const std::string& FileName, std::string& Why) {
  constexpr std::uintmax_t MaxBytes = 4096;
  std::error_code Error;
  if (!std::filesystem::is_regular_file(FileName, Error)) {
    Why = Error ? "cannot be read" : "is not a regular file";
    return "";
  }
  const std::uintmax_t Size = std::filesystem::file_size(FileName, Error);
  if (Error || Size > MaxBytes) {
    Why = Error ? "cannot be read" : "is larger than 4 KiB";
    return "";
  }
  std::ifstream File(FileName);
  std::string Line;
  if (!File || !std::getline(File, Line)) {
    Why = "cannot be read";
    return "";
  }
  while (!Line.empty() && (Line.back() == '\r' || Line.back() == ' '))
    Line.pop_back();
  return Line;
}

// One instance per box and Ringlet: two boxes, or two Ringlets on one box, must not throw
// each other off the broker.
std::string DefaultInstance(const std::string& SettingsFile,
                            const std::vector<std::string>& Lines) {
  char Host[256] = {};
  if (::gethostname(Host, sizeof Host - 1) != 0 || Host[0] == '\0')
    std::snprintf(Host, sizeof Host, "ringlet");
  uint32_t Hash = 2166136261u;
  std::string Seed = SettingsFile;
  for (const std::string& Line : Lines)
    Seed += "\n" + Line;
  for (const char C : Seed)
    Hash = (Hash ^ static_cast<unsigned char>(C)) * 16777619u;
  char Suffix[8];
  std::snprintf(Suffix, sizeof Suffix, "-%04x", Hash & 0xFFFFu);
  return Host + std::string(Suffix);
}

} // namespace

void ReadNetworkSettings(TRzRegIniFile& Settings, TNetworkOptions& Options) {
  const auto Fill = [&Settings](std::string& Value, const char* Section, const char* Key) {
    if (Value.empty())
      Value = Settings.ReadString(Section, Key, "");
  };
  Fill(Options.NcidListen, "NCID", "Listen");
  Fill(Options.MqttUrl, "MQTT", "Url");
  Fill(Options.MqttPasswordFile, "MQTT", "PasswordFile");
  Fill(Options.MqttCaFile, "MQTT", "CaFile");
  Fill(Options.MqttInstance, "MQTT", "Instance");
  Options.SettingsFile = Settings.Path();
  for (const auto& [Line, Id] : Platform::ReadSection(Settings.Path(), "NCID Line IDs"))
    Options.NcidLineIds.emplace(Line, Id);
  if (Options.NcidMaxClients == 0) {
    const std::string Text = Settings.ReadString("NCID", "MaxClients", "");
    const bool Number = !Text.empty() && Text.size() < 6 &&
                        Text.find_first_not_of("0123456789") == std::string::npos;
    Options.NcidMaxClients = Number && std::stoul(Text) > 0 ? std::stoul(Text) : DefaultMaxClients;
  }
}

std::string TNetworkOutlets::Start(const TNetworkOptions& Options,
                                   const std::vector<std::string>& Lines,
                                   std::function<std::vector<TCallRecord>()> CallLog) {
  if (!Options.NcidListen.empty()) {
    const std::string Why = StartNcid(Options, std::move(CallLog));
    if (!Why.empty())
      return Why;
  }
  if (!Options.MqttUrl.empty())
    return StartMqtt(Options, Lines);
  return "";
}

std::string TNetworkOutlets::StartNcid(const TNetworkOptions& Options,
                                       std::function<std::vector<TCallRecord>()> CallLog) {
  TNcidOptions Ncid;
  std::string Error;
  if (!ParseListenAddress(Options.NcidListen, Ncid.Address, Ncid.Port, Error))
    return "--ncid-listen: " + Error;
  Ncid.MaxClients = Options.NcidMaxClients > 0 ? Options.NcidMaxClients : DefaultMaxClients;
  Ncid.Version = RINGLET_VERSION;
  Ncid.HangUp = Options.NcidHangUp;
  Ncid.LineIds = Options.NcidLineIds;
  Ncid.CallLog = std::move(CallLog);
  FNcid = std::make_unique<TNcidServer>(std::move(Ncid));
  const std::string Why = FNcid->Start();
  if (!Why.empty())
    FNcid.reset();
  return Why.empty() ? "" : "NCID server: " + Why;
}

std::string TNetworkOutlets::StartMqtt(const TNetworkOptions& Options,
                                       const std::vector<std::string>& Lines) {
  TMqttOptions Mqtt;
  std::string Error;
  if (!ParseMqttUrl(Options.MqttUrl, Mqtt, Error))
    return "--mqtt: " + Error;
  if (!Options.MqttPasswordFile.empty()) {
    std::string Why;
    Mqtt.Password = FirstLine(Options.MqttPasswordFile, Why);
    if (!Why.empty())
      return "the MQTT password file " + Options.MqttPasswordFile + " " + Why;
  }
  if (!Options.MqttCaFile.empty() && ::access(Options.MqttCaFile.c_str(), R_OK) != 0)
    return "the MQTT CA file " + Options.MqttCaFile + " cannot be read";
  Mqtt.CaFile = Options.MqttCaFile;
  Mqtt.Lines = Lines;
  Mqtt.Instance =
      InstanceName(Options.MqttInstance.empty() ? DefaultInstance(Options.SettingsFile, Lines)
                                                : Options.MqttInstance);
  Mqtt.QueueFile = (std::filesystem::path(DefaultHistoryFile()).parent_path() /
                    ("mqtt-" + Mqtt.Instance + ".queue"))
                       .string();
  FMqtt = std::make_unique<TMqttPublisher>(std::move(Mqtt));
  const std::string Why = FMqtt->Start();
  if (!Why.empty())
    FMqtt.reset();
  return Why;
}

void TNetworkOutlets::AttachTo(TCallMonitor& Monitor) {
  if (FNcid)
    Monitor.AddOutlet(FNcid.get());
  if (FMqtt)
    Monitor.AddOutlet(FMqtt.get());
}
