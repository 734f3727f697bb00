#include "testing/https_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace brindax::testkit {
namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_text(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string nginx_server(int port, const fs::path& pki, const char* cert, const fs::path& root, int plain_port) {
  std::ostringstream conf;
  conf << "  server {\n    listen 127.0.0.1:" << port << (cert != nullptr ? " ssl" : "") << ";\n";
  if (cert != nullptr) {
    conf << "    ssl_certificate " << (pki / cert).string() << ".crt;\n"
         << "    ssl_certificate_key " << (pki / cert).string() << ".key;\n";
  }
  conf << "    root " << root.string() << ";\n"
       << "    location /no-ranges/ { max_ranges 0; }\n"
       << "    location = /to-http/Brindax.ver { return 302 http://127.0.0.1:" << plain_port
       << "/Brindax.ver; }\n"
       << "    location = /moved/Brindax.ver { return 301 /Brindax.ver; }\n"
       << "    location = /loop/Brindax.ver { return 302 /loop/Brindax.ver; }\n"
       << "    location /gzip/ { add_header Content-Encoding gzip; }\n"
       << "  }\n";
  return conf.str();
}

// Whether a listener could bind `port` on 127.0.0.1 now.
bool port_is_free(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  const int reuse = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool free = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(s);
  return free;
}

}  // namespace

HttpsServers::HttpsServers(const std::string& work_dir, const std::string& trusted_ca_file,
                           const std::string& peer_script, int first_port)
    : work_(work_dir), port_shift_(first_port - NGINX_PORT) {
  std::error_code ignored;
  fs::remove_all(work_ / "run", ignored);
  // The servers of a test that just ended may still be closing their
  // listeners on a busy machine: wait for the ports, rather than fail to bind
  // them, or take a leftover listener for one of ours.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int named : {NGINX_PORT, OTHER_CA_PORT, EXPIRED_PORT, WRONG_HOST_PORT, PLAIN_PORT, PEER_PORT, PROXY_PORT}) {
    while (!port_is_free(port(named)) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  fs::create_directories(work_ / "run");
  fs::create_directories(root());
  const fs::path pki = work_ / "pki";
  const std::string make_pki = "bash '" + (fs::path(peer_script).parent_path() / "https_pki.sh").string() +
                               "' '" + pki.string() + "' '" + trusted_ca_file + "'";
  if (std::system(make_pki.c_str()) != 0) {
    failure_ = "openssl could not make the certificates";
    return;
  }

  const fs::path run = work_ / "run";
  std::ostringstream conf;
  conf << "worker_processes 1;\npid " << (run / "nginx.pid").string() << ";\n"
       << "error_log " << (run / "nginx-error.log").string() << ";\n";
  if (geteuid() == 0) conf << "user root root;\n";
  conf << "events { worker_connections 64; }\nhttp {\n"
       << "  log_format ids '$connection $request $status $bytes_sent';\n"
       << "  access_log " << (run / "access.log").string() << " ids;\n"
       << "  default_type application/octet-stream;\n  keepalive_requests 1000;\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
    conf << "  " << temp << "_temp_path " << (run / temp).string() << ";\n";
  }
  const int plain = port(PLAIN_PORT);
  conf << nginx_server(port(NGINX_PORT), pki, "ok", root(), plain)
       << nginx_server(port(OTHER_CA_PORT), pki, "other-ca", root(), plain)
       << nginx_server(port(EXPIRED_PORT), pki, "expired", root(), plain)
       << nginx_server(port(WRONG_HOST_PORT), pki, "wrong-host", root(), plain)
       << nginx_server(plain, pki, nullptr, root(), plain) << "}\n";
  write_text(run / "nginx.conf", conf.str());
  spawn({"/usr/sbin/nginx", "-p", run.string(), "-e", (run / "nginx-error.log").string(), "-c",
         (run / "nginx.conf").string(), "-g", "daemon off;"},
        (run / "nginx.out").string());

  spawn({"/usr/bin/python3", peer_script, std::to_string(port(PEER_PORT)), (pki / "ok.crt").string(),
         (pki / "ok.key").string()},
        (run / "peer.out").string());

  std::ostringstream proxy;
  proxy << "Port " << port(PROXY_PORT) << "\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\n"
        << "LogFile \"" << (run / "tinyproxy.log").string() << "\"\nLogLevel Info\nMaxClients 10\n";
  write_text(run / "tinyproxy.conf", proxy.str());
  spawn({"/usr/bin/tinyproxy", "-d", "-c", (run / "tinyproxy.conf").string()}, (run / "tinyproxy.out").string());

  for (int named : {NGINX_PORT, OTHER_CA_PORT, EXPIRED_PORT, WRONG_HOST_PORT, PLAIN_PORT, PEER_PORT, PROXY_PORT}) {
    if (!wait_for_port(port(named))) {
      failure_ = "nothing listens on port " + std::to_string(port(named)) + "; nginx: " +
                 read_text(run / "nginx-error.log") + read_text(run / "nginx.out") +
                 " peer: " + read_text(run / "peer.out") + " tinyproxy: " + read_text(run / "tinyproxy.out");
      return;
    }
  }
}

HttpsServers::~HttpsServers() {
  for (pid_t pid : children_) kill(pid, SIGTERM);
  for (pid_t pid : children_) {
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (waitpid(pid, &status, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
  }
}

pid_t HttpsServers::spawn(const std::vector<std::string>& arguments, const std::string& log) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    std::vector<char*> argv;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid > 0) children_.push_back(pid);
  return pid;
}

bool HttpsServers::wait_for_port(int port) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool listening = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(s);
    if (listening) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

void HttpsServers::write_file(const std::string& relative, const std::string& content) const {
  write_text(root() / relative, content);
}

std::vector<std::string> HttpsServers::access_log(std::size_t at_least) const {
  const auto read_lines = [this] {
    std::vector<std::string> lines;
    std::istringstream in(read_text(work_ / "run" / "access.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  };
  // nginx logs a request just after it has answered it, so a client may be
  // done before the line is written, the more so on a busy machine.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::vector<std::string> lines = read_lines();
  while (std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<std::string> again = read_lines();
    if (again.size() == lines.size() && lines.size() >= at_least) break;
    lines = std::move(again);
  }
  return lines;
}

std::string HttpsServers::proxy_log() const { return read_text(work_ / "run" / "tinyproxy.log"); }

}  // namespace brindax::testkit
