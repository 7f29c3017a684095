// Real SIP peers for the tests, on loopback and free ports: kamailio as registrar and forking
// proxy (its own generated configuration: the location table in memory, one password checked
// without a database), and SIPp (sip-tester) running scenarios the tests write. Every wait has
// a deadline; a peer still running at its end is killed.
#pragma once

#include "CallLineTestSupport.h"
#include "TapiTestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace SipTest {

using CallLineTest::GenerousMs;

inline constexpr const char* User = "621";
inline constexpr const char* Password = "secret";

inline bool HaveProgram(const char* path) {
  return access(path, X_OK) == 0;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A program with its output in a log file.
class TPeerProcess {
public:
  TPeerProcess() = default;
  TPeerProcess(const TPeerProcess&) = delete;
  TPeerProcess& operator=(const TPeerProcess&) = delete;
  ~TPeerProcess() { Kill(); }

  bool Start(const std::vector<std::string>& args, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& arg : copy)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int err = posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err)
      FPid = -1;
    return FPid > 0;
  }

  // The exit status, or -1 when the deadline passed (the process is then killed).
  int Wait(int timeoutMs = GenerousMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (FPid > 0) {
      int status = 0;
      const pid_t done = waitpid(FPid, &status, WNOHANG);
      if (done == FPid) {
        FPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() > deadline) {
        Kill();
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

  // Whether the process has ended (its status then in `status`), without waiting.
  bool Ended(int& status) {
    int raw = 0;
    if (FPid <= 0 || waitpid(FPid, &raw, WNOHANG) != FPid)
      return FPid <= 0;
    FPid = -1;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
  }

  void Kill() {
    if (FPid <= 0)
      return;
    kill(FPid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(FPid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(FPid, SIGKILL);
        waitpid(FPid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FPid = -1;
  }

  bool Running() const { return FPid > 0; }

private:
  pid_t FPid = -1;
};

// kamailio on 127.0.0.1:Port (UDP and TCP): REGISTER for any user with the password
// Password (digest), INVITE forked to every contact of the called user.
class TKamailio {
public:
  TKamailio(const std::string& folder, uint16_t port) : FFolder(folder), FPort(port) {}

  bool Start() {
    const std::string config = FFolder + "/kamailio.cfg";
    std::ofstream(config) << Configuration();
    mkdir((FFolder + "/run").c_str(), 0700);
    const std::string log = FFolder + "/kamailio.log";
    if (!FProcess.Start({"/usr/sbin/kamailio", "-f", config, "-DD", "-E", "-m", "32", "-M", "4",
                         "-Y", FFolder + "/run", "-w", FFolder},
                        log))
      return false;
    return WaitReady();
  }
  void Stop() { FProcess.Kill(); }
  std::string Log() const { return ReadFile(FFolder + "/kamailio.log"); }
  uint16_t Port() const { return FPort; }

private:
  std::string Configuration() const {
    const std::string address = "127.0.0.1:" + std::to_string(FPort);
    return "#!KAMAILIO\n"
           "debug=2\nlog_stderror=yes\nchildren=2\ntcp_children=1\nauto_aliases=no\n"
           "listen=udp:" +
           address + "\nlisten=tcp:" + address + "\nalias=\"" + address +
           "\"\n"
           "mpath=\"/usr/lib/x86_64-linux-gnu/kamailio/modules/\"\n"
           "loadmodule \"tm.so\"\nloadmodule \"sl.so\"\nloadmodule \"rr.so\"\n"
           "loadmodule \"pv.so\"\nloadmodule \"maxfwd.so\"\nloadmodule \"usrloc.so\"\n"
           "loadmodule \"registrar.so\"\nloadmodule \"textops.so\"\n"
           "loadmodule \"siputils.so\"\nloadmodule \"xlog.so\"\nloadmodule \"auth.so\"\n"
           "modparam(\"usrloc\", \"db_mode\", 0)\n"
           "modparam(\"registrar\", \"min_expires\", 1)\n"
           "request_route {\n"
           "  if (!mf_process_maxfwd_header(\"10\")) { sl_send_reply(\"483\", \"Too Many Hops\"); "
           "exit; }\n"
           "  if (is_method(\"CANCEL\")) { if (t_check_trans()) t_relay(); exit; }\n"
           "  if (!is_method(\"ACK\")) t_check_trans();\n"
           "  if (has_totag()) {\n"
           "    if (loose_route()) { t_relay(); exit; }\n"
           "    if (is_method(\"ACK\")) { if (t_check_trans()) t_relay(); exit; }\n"
           "    sl_send_reply(\"404\", \"Not here\"); exit;\n"
           "  }\n"
           "  if (is_method(\"REGISTER\")) {\n"
           "    xlog(\"L_INFO\", \"REGISTER $fU contact $ct expires $hdr(Expires)\\n\");\n"
           "    if (!pv_www_authenticate(\"$td\", \"" +
           std::string(Password) +
           "\", \"0\")) {\n"
           "      www_challenge(\"$td\", \"0\"); exit;\n"
           "    }\n"
           "    if (!save(\"location\")) sl_reply_error();\n"
           "    exit;\n"
           "  }\n"
           "  if (is_method(\"INVITE\")) record_route();\n"
           "  if (!lookup(\"location\")) { sl_send_reply(\"404\", \"Not Found\"); exit; }\n"
           "  t_relay();\n"
           "}\n"
           "onreply_route { if (status == \"603\") xlog(\"L_INFO\", \"DECLINED $ci\\n\"); }\n";
  }

  // Ready once an OPTIONS gets any answer.
  bool WaitReady() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(FPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string probe = "OPTIONS sip:probe@127.0.0.1 SIP/2.0\r\n"
                              "Via: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKprobe\r\n"
                              "From: <sip:probe@127.0.0.1>;tag=p\r\nTo: <sip:probe@127.0.0.1>\r\n"
                              "Call-ID: probe\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 5\r\n"
                              "Content-Length: 0\r\n\r\n";
    // The answer goes to the Via; it is enough that kamailio reads: bind to port 9's stand-in.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    socklen_t size = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
    std::string message = probe;
    message.replace(message.find("127.0.0.1:9;"), 12,
                    "127.0.0.1:" + std::to_string(ntohs(local.sin_port)) + ";");
    bool ready = false;
    for (int tries = 0; tries < 100 && !ready && FProcess.Running(); ++tries) {
      sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      pollfd answer{fd, POLLIN, 0};
      ready = poll(&answer, 1, 100) == 1;
    }
    close(fd);
    return ready;
  }

  std::string FFolder;
  uint16_t FPort;
  TPeerProcess FProcess;
};

// One SIPp run of a scenario the test wrote; the exit status says whether every call
// succeeded (0).
class TSipp {
public:
  TSipp(const std::string& folder, const std::string& name) : FFolder(folder), FName(name) {}

  // target: "127.0.0.1:port"; extra: options such as "-key", "k", "v".
  bool Start(const std::string& scenario, const std::string& target, const std::string& address,
             uint16_t port, const std::vector<std::string>& extra = {}) {
    const std::string file = FFolder + "/" + FName + ".xml";
    std::ofstream(file) << scenario;
    std::vector<std::string> args = {"/usr/bin/sipp",
                                     target,
                                     "-sf",
                                     file,
                                     "-i",
                                     address,
                                     "-p",
                                     std::to_string(port),
                                     "-nostdin",
                                     "-m",
                                     "1",
                                     "-timeout",
                                     "30s",
                                     "-timeout_error",
                                     "-trace_msg",
                                     "-message_file",
                                     FFolder + "/" + FName + ".messages",
                                     "-trace_err",
                                     "-error_file",
                                     FFolder + "/" + FName + ".errors",
                                     "-au",
                                     User,
                                     "-ap",
                                     Password};
    args.insert(args.end(), extra.begin(), extra.end());
    return FProcess.Start(args, FFolder + "/" + FName + ".log");
  }
  int Wait(int timeoutMs = GenerousMs) { return FProcess.Wait(timeoutMs); }
  bool Ended(int& status) { return FProcess.Ended(status); }
  std::string Messages() const { return ReadFile(FFolder + "/" + FName + ".messages"); }
  std::string Errors() const { return ReadFile(FFolder + "/" + FName + ".errors"); }
  std::string Report() const {
    return "SIPp " + FName + " errors:\n" + Errors() + "\nmessages:\n" + Messages();
  }

private:
  std::string FFolder;
  std::string FName;
  TPeerProcess FProcess;
};

// ---- Scenarios ------------------------------------------------------------------------------

inline constexpr const char* Sdp = "v=0\n"
                                   "o=caller 1 1 IN IP4 127.0.0.1\n"
                                   "s=-\n"
                                   "c=IN IP4 127.0.0.1\n"
                                   "t=0 0\n"
                                   "m=audio 4000 RTP/AVP 0\n";

inline std::string Scenario(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"t\">\n" + body +
         "</scenario>\n";
}

inline std::string Send(const std::string& message, bool retransmit = false) {
  return std::string(retransmit ? "<send retrans=\"500\">" : "<send>") + "<![CDATA[\n" + message +
         "\n]]></send>\n";
}

// A caller's INVITE to `uri`, with extra header lines, and its CANCEL and ACK.
inline std::string Invite(const std::string& uri, const std::string& from,
                          const std::string& extra) {
  return "INVITE " + uri +
         " SIP/2.0\n"
         "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=z9hG4bK-[call_number]-inv\n"
         "From: " +
         from +
         ";tag=[pid]caller[call_number]\n"
         "To: <" +
         uri +
         ">\n"
         "Call-ID: [call_id]\nCSeq: 1 INVITE\n"
         "Contact: <sip:caller@[local_ip]:[local_port]>\nMax-Forwards: 70\n" +
         extra + "Content-Type: application/sdp\nContent-Length: [len]\n\n" + Sdp;
}

inline std::string Cancel(const std::string& uri, const std::string& from) {
  return "CANCEL " + uri +
         " SIP/2.0\n"
         "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=z9hG4bK-[call_number]-inv\n"
         "From: " +
         from +
         ";tag=[pid]caller[call_number]\n"
         "To: <" +
         uri +
         ">\nCall-ID: [call_id]\nCSeq: 1 CANCEL\nMax-Forwards: 70\n"
         "Content-Length: 0\n";
}

inline std::string AckFailure(const std::string& uri, const std::string& from) {
  return "ACK " + uri +
         " SIP/2.0\n"
         "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=z9hG4bK-[call_number]-inv\n"
         "From: " +
         from +
         ";tag=[pid]caller[call_number]\n"
         "To: <" +
         uri +
         ">[peer_tag_param]\nCall-ID: [call_id]\nCSeq: 1 ACK\nMax-Forwards: 70\n"
         "Content-Length: 0\n";
}

// A caller that rings `uri` for `ringMs` and then gives up (CANCEL), or that expects `final`
// (e.g. "603") when given.
inline std::string CallerScenario(const std::string& uri, const std::string& from,
                                  const std::string& headers, int ringMs,
                                  const std::string& final = "") {
  std::string body = Send(Invite(uri, from, headers), true) +
                     "<recv response=\"100\" optional=\"true\"/>\n"
                     "<recv response=\"180\"" +
                     (final.empty() ? "" : " optional=\"true\"") + "/>\n";
  if (!final.empty())
    return Scenario(body + "<recv response=\"" + final + "\"/>\n" + Send(AckFailure(uri, from)));
  return Scenario(body + "<pause milliseconds=\"" + std::to_string(ringMs) + "\"/>\n" +
                  Send(Cancel(uri, from), true) + "<recv response=\"200\"/>\n" +
                  "<recv response=\"487\"/>\n" + Send(AckFailure(uri, from)));
}

} // namespace SipTest
