// NetworkOutlets: the outlets that hand calls to other screens, the NCID-protocol server and
// the MQTT publisher, built from the command line and the program's settings file.
//
// Contract:
// - A command-line value wins over the settings file: section [NCID] key Listen
//   ("ADDR:PORT"), MaxClients; section [MQTT] keys Url, PasswordFile, CaFile, Instance. Section
//   [NCID Line IDs] gives a line's id for NCID clients: its key is the line's name, its value
//   the id (calls/NcidServer.h says what clients get without one).
// - The MQTT instance name (client id and status topic) is by default the host name and four
//   hex digits of a hash of the settings file's name and the lines watched: the same for the
//   same Ringlet in every run, different for two Ringlets on one host. Its calls wait for the
//   broker in mqtt-<instance>.queue beside the default call history.
// - Nothing is started when neither is asked for. Start says why it cannot start (a bad
//   address, an address in use, an unreadable password file); a broker that is not reachable
//   yet is not such a reason: its calls wait until it is.
// - The outlets live as long as this object: a monitor they are attached to must not outlive it.
#pragma once

#include "app/Monitor.h"
#include "calls/MqttPublisher.h"
#include "calls/NcidServer.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct TNetworkOptions {
  std::string NcidListen;    // "ADDR:PORT", "" for none
  size_t NcidMaxClients = 0; // 0: the settings file's, else 32
  bool NcidHangUp = false;   // blocked callers are hung up on (told to NCID clients)
  std::map<std::string, std::string> NcidLineIds; // line name -> id in NCID's LINE fields
  std::string MqttUrl;                            // "mqtt://..." or "mqtts://...", "" for none
  std::string MqttPasswordFile; // the password's first line, instead of one in the URL
  std::string MqttCaFile;
  std::string MqttInstance; // "" for the default
  std::string SettingsFile; // the settings file's name, for the default instance
};

// Fills what the command line left empty from the settings file.
void ReadNetworkSettings(TRzRegIniFile& Settings, TNetworkOptions& Options);

class TNetworkOutlets {
public:
  // CallLog gives the stored calls, oldest first, for the NCID server's clients.
  std::string Start(const TNetworkOptions& Options, const std::vector<std::string>& Lines,
                    std::function<std::vector<TCallRecord>()> CallLog = {});
  void AttachTo(TCallMonitor& Monitor);

  TNcidServer* Ncid() const { return FNcid.get(); }
  TMqttPublisher* Mqtt() const { return FMqtt.get(); }

private:
  std::string StartNcid(const TNetworkOptions& Options,
                        std::function<std::vector<TCallRecord>()> CallLog);
  std::string StartMqtt(const TNetworkOptions& Options, const std::vector<std::string>& Lines);

  std::unique_ptr<TNcidServer> FNcid;
  std::unique_ptr<TMqttPublisher> FMqtt;
};
