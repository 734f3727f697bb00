// Test helper: a scripted FTP server peer that plays exact byte sequences.
// POSIX only; every socket it opens is on a loopback address.
//
// A script is a list of steps, built before start() and run in order on a
// thread of the peer's own. The first step that fails (an expectation not
// met, a connection that does not come, a time limit passed) ends the script
// and is reported by finish() and failure().
//
//   ScriptedFtpPeer peer;                       // control listener on 127.0.0.1, free port
//   peer.send("220 hello\r\n")
//       .expect("USER ").send("331 pw\r\n")
//       .expect("PASS ").send("230 in\r\n")
//       .expect("TYPE I").send("200 ok\r\n")
//       .expect("PASV").listen_data()
//       .send("227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n")
//       .expect("RETR a.txt").send("150 go\r\n")
//       .serve_data("content")
//       .send("226 done\r\n")
//       .expect("QUIT");
//   peer.start();
//   ... the client under test connects to 127.0.0.1:peer.port() ...
//   EXPECT_TRUE(peer.finish()) << peer.failure();
//
// The control connection is accepted by the first step that needs it. In
// texts given to send steps, {P1} and {P2} stand for the high and low byte of
// the data listener's port and {DATA_PORT} for the port itself (listen_data
// must have run before).
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brindax::testkit {

class ScriptedFtpPeer {
 public:
  // How a data connection ends after its bytes.
  enum class DataEnd {
    close,  // orderly close (FIN): the end of the file
    reset,  // abortive close (RST): a connection broken in the middle
    stall,  // kept open without sending more, until the script is stopped
  };

  // Listens for the control connection on `address` (a 127.x.y.z address)
  // and `port` (0: a free port).
  explicit ScriptedFtpPeer(const std::string& address = "127.0.0.1", int port = 0);
  // Stops a script still running (closing every socket) and waits for it.
  ~ScriptedFtpPeer();
  ScriptedFtpPeer(const ScriptedFtpPeer&) = delete;
  ScriptedFtpPeer& operator=(const ScriptedFtpPeer&) = delete;

  // The control port; 0 when the listener could not be opened.
  int port() const { return control_port_; }

  // --- control connection ----------------------------------------------------
  // Sends exact bytes (placeholders expanded) in one send.
  ScriptedFtpPeer& send(std::string bytes);
  // Sends the bytes one per send, with `pause_ms` between them.
  ScriptedFtpPeer& send_bytewise(std::string bytes, int pause_ms = 2);
  // Hostile pacing: sends the bytes one per send with `pause_ms` between
  // them, and stops quietly when the client hangs up (never fails).
  ScriptedFtpPeer& trickle(std::string bytes, int pause_ms);
  // Sends the line again and again with `pause_ms` between, until the
  // client hangs up or `limit_ms` passed (never fails): a reply that never
  // ends when the line is a continuation line ("226-more").
  ScriptedFtpPeer& send_endless(std::string line, int pause_ms, int limit_ms = 60000);
  // Reads one line from the client (up to LF, CR LF removed) and requires it
  // to begin with `prefix`. Waits at most `limit_ms`.
  ScriptedFtpPeer& expect(std::string prefix, int limit_ms = 10000);
  // Does nothing for `ms` milliseconds (lines the client sends meanwhile are
  // kept for the next expect).
  ScriptedFtpPeer& pause(int ms);
  // Requires the client to close the control connection within `limit_ms`;
  // lines it sends before are recorded but not judged.
  ScriptedFtpPeer& expect_closed(int limit_ms = 10000);
  // Answers nothing more: waits until the client closes the control
  // connection, or at most `limit_ms`. Never fails.
  ScriptedFtpPeer& stall(int limit_ms = 60000);
  // Closes the control connection.
  ScriptedFtpPeer& close_control();

  // --- data connection ---------------------------------------------------------
  // Opens the passive-mode data listener on `address` (free port).
  ScriptedFtpPeer& listen_data(const std::string& address = "127.0.0.1");
  // Accepts one connection on the data listener within `limit_ms`, sends the
  // bytes and ends it as told.
  ScriptedFtpPeer& serve_data(std::string bytes, DataEnd end = DataEnd::close,
                              int limit_ms = 10000);
  // Accepts one data connection within `limit_ms` and sends the bytes in
  // pieces of `chunk` with `pause_ms` between them, then closes it; stops
  // quietly when the client hangs up first (fails only when no connection
  // came).
  ScriptedFtpPeer& trickle_data(std::string bytes, std::size_t chunk, int pause_ms,
                                int limit_ms = 10000);
  // Active mode: connects to the address and port of the last "PORT " line
  // received, sends the bytes and ends the connection as told.
  ScriptedFtpPeer& connect_data(std::string bytes, DataEnd end = DataEnd::close);
  // Requires that no connection arrives at the data listener for `ms`.
  ScriptedFtpPeer& expect_no_data_connection(int ms);

  // A step of the test's own (runs on the peer's thread); return false and
  // set the message to fail the script.
  ScriptedFtpPeer& run(std::function<bool(std::string& failure)> step);

  // Runs the script.
  void start();
  // Waits for the script's end (at most `limit_ms`, after which it is
  // stopped). True when every step ran and held.
  bool finish(int limit_ms = 20000);
  // Why the script failed ("" when it did not).
  std::string failure() const;
  // Every line the client sent on the control connection, in order (without
  // CR LF), including lines no expect looked at.
  std::vector<std::string> received_lines() const;
  // Whether the data listener saw a connection attempt at any time.
  bool data_connection_seen() const { return data_connections_.load() > 0; }

 private:
  using Step = std::function<bool(std::string& failure)>;

  bool ensure_control(int limit_ms, std::string& failure);
  bool read_line(std::string& line, int limit_ms, bool& closed);
  bool send_all(int fd, const std::string& bytes);
  std::string expand(const std::string& text) const;
  int accept_with_limit(int listener, int limit_ms);
  void end_data(int fd, DataEnd end);
  // Counts the data connection, sends the bytes on it and ends it as told.
  bool deliver_data(int fd, const std::string& bytes, DataEnd end, std::string& failure);
  void record(const std::string& line);
  bool stopping() const { return stop_.load(); }

  int control_listener_ = -1;
  int control_port_ = 0;
  int control_ = -1;
  int data_listener_ = -1;
  int data_port_ = 0;
  std::string pending_;  // received control bytes not yet taken as lines
  std::vector<Step> steps_;
  std::vector<int> held_;  // stalled data connections, closed at the end

  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::atomic<int> data_connections_{0};
  mutable std::mutex mutex_;
  std::string failure_;
  std::vector<std::string> lines_;
};

}  // namespace brindax::testkit
