// The network outlets of the program.
#include "app/NetworkOutlets.h"

#include <fstream>
#include <unistd.h>

namespace {

constexpr size_t DefaultMaxClients = 32;

std::string FirstLine(const std::string& FileName, bool& Read) {
  std::ifstream File(FileName);
  std::string Line;
  Read = static_cast<bool>(File) && static_cast<bool>(std::getline(File, Line));
  while (!Line.empty() && (Line.back() == '\r' || Line.back() == ' '))
    Line.pop_back();
  return Line;
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
    bool Read = false;
    Mqtt.Password = FirstLine(Options.MqttPasswordFile, Read);
    if (!Read)
      return "the MQTT password file " + Options.MqttPasswordFile + " cannot be read";
  }
  if (!Options.MqttCaFile.empty() && ::access(Options.MqttCaFile.c_str(), R_OK) != 0)
    return "the MQTT CA file " + Options.MqttCaFile + " cannot be read";
  Mqtt.CaFile = Options.MqttCaFile;
  Mqtt.Lines = Lines;
  // One client id per box: two boxes on one broker must not throw each other off.
  char Host[256] = {};
  ::gethostname(Host, sizeof Host - 1);
  Mqtt.ClientId = std::string("ringlet-") + Host;
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
