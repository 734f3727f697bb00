// Test helper: the HTTPS servers of the transport's tests, all on 127.0.0.1
// and all run as the current user from a private folder (no system service):
//   - certificates made at start by testing/https_pki.sh (openssl), the
//     trusted CA written to the file that test builds trust;
//   - Debian's nginx with one server per certificate (NGINX_PORT: good
//     certificate; OTHER_CA_PORT, EXPIRED_PORT, WRONG_HOST_PORT: refused
//     ones; PLAIN_PORT: plain http), serving root();
//   - testing/https_peer.py on PEER_PORT (hostile answers);
//   - Debian's tinyproxy on PROXY_PORT.
// POSIX only. The destructor stops every process it started and removes the
// folder.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace brindax::testkit {

class HttpsServers {
 public:
  static constexpr int NGINX_PORT = 47301;
  static constexpr int OTHER_CA_PORT = 47302;
  static constexpr int EXPIRED_PORT = 47303;
  static constexpr int WRONG_HOST_PORT = 47304;
  static constexpr int PLAIN_PORT = 47305;
  static constexpr int PEER_PORT = 47306;
  static constexpr int PROXY_PORT = 47307;
  static constexpr int CLOSED_PORT = 47308;  // nothing listens there

  // `trusted_ca_file`: where the trusted CA's certificate goes. With
  // `first_port`, every server listens that far from its port above (so
  // NGINX_PORT becomes `first_port`): test programs that run side by side
  // each take their own range; port() gives a server's actual port.
  HttpsServers(const std::string& work_dir, const std::string& trusted_ca_file,
               const std::string& peer_script, int first_port = NGINX_PORT);
  ~HttpsServers();
  HttpsServers(const HttpsServers&) = delete;
  HttpsServers& operator=(const HttpsServers&) = delete;

  // Empty when every server listens; otherwise what failed.
  const std::string& failure() const { return failure_; }
  // What nginx serves at "/" on every port.
  std::filesystem::path root() const { return work_ / "www"; }
  void write_file(const std::string& relative, const std::string& content) const;
  // Where the server named by one of the ports above listens.
  int port(int named) const { return named + port_shift_; }
  // The lines nginx logged for requests ("<connection> <request> <status>
  // <bytes sent>", headers included in the bytes), once there are at least
  // `at_least` and none has come for 200 ms (at most 10 s); tinyproxy's log.
  std::vector<std::string> access_log(std::size_t at_least = 0) const;
  std::string proxy_log() const;

 private:
  pid_t spawn(const std::vector<std::string>& arguments, const std::string& log);
  bool wait_for_port(int port);

  std::filesystem::path work_;
  std::vector<pid_t> children_;
  std::string failure_;
  int port_shift_ = 0;
};

}  // namespace brindax::testkit
