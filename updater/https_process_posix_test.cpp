// The updater built with release URLs (brindax-updater-local-https and its
// siblings, see updater/CMakeLists.txt) run as a process against nginx,
// tinyproxy and the certificates of testing/https_servers.h: the same
// answers, installs and refusals as over FTP.
#include "updater/process_test_support.h"

#include <stdlib.h>

#include <random>

#include "testing/https_servers.h"
#include "updater/release_binding.h"
#include "updater/release_signature.h"

namespace brindax::process_test {
namespace {

using testkit::HttpsServers;

const std::string kUnreachable = "Ftp Error: Canot open Ftp connection\n";
const std::string kNoList = "Ftp Error: Canot dowload version file\n";

// The test's environment holds no proxy: only the run that asks for one
// goes through tinyproxy.
RunResult run_with(const fs::path& folder, const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::pair<std::string, std::string>>& environment) {
  for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
  RunResult result = run_in(folder, program, args);
  for (const auto& [name, value] : environment) unsetenv(name.c_str());
  return result;
}

std::string noise(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

class HttpsUpdater : public UpdaterProcess {
 protected:
  static void SetUpTestSuite() {
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
    servers_ = new HttpsServers(BRINDAX_HTTPS_TEST_DIR, BRINDAX_TEST_CA_FILE, BRINDAX_HTTPS_PEER_SCRIPT,
                                BRINDAX_TEST_HTTPS_PORT);
  }
  static void TearDownTestSuite() {
    delete servers_;
    servers_ = nullptr;
  }
  void SetUp() override {
    UpdaterProcess::SetUp();
    ASSERT_EQ(servers_->failure(), "");
    fs::remove_all(folder());
    fs::create_directories(folder());
  }

  // The update folder the builds' URLs name.
  static fs::path folder() { return servers_->root() / "source" / "Kelmor"; }
  static void serve(const std::string& list, const std::vector<Entry>& entries) {
    write_file(folder() / "Brindax.ver", list);
    make_zip(folder() / "Brindax.zip", entries);
  }
  RunResult run(const std::string& mode, const std::string& build = "brindax-updater-local-https") {
    return updater({mode}, build.c_str());
  }
  // Bytes nginx sent for requests of `file` logged from line `from` on.
  static std::int64_t bytes_sent(std::size_t from, const std::string& file) {
    const auto log = servers_->access_log();
    std::int64_t total = 0;
    for (std::size_t i = from; i < log.size(); ++i) {
      if (log[i].find("/" + file + " ") != std::string::npos) total += std::stoll(log[i].substr(log[i].rfind(' ')));
    }
    return total;
  }

  static HttpsServers* servers_;
};
HttpsServers* HttpsUpdater::servers_ = nullptr;

TEST_F(HttpsUpdater, ChecksAndInstallsLikeOverFtp) {
  struct Case {
    const char* what;
    const char* build;
    const char* mode;
    std::string local_list;  // empty: a new installation
    int exit_code;
  };
  const std::vector<Case> cases = {
      {"same list", "brindax-updater-local-https", "UpdateAvailable", kList, 0},
      {"one record fewer", "brindax-updater-local-https", "UpdateAvailable",
       "Brindax.zip\nBrindax.exe@1.0\ndata/config.ini@3\n", 1},
      {"one version differs", "brindax-updater-local-https", "UpdateAvailable",
       "Brindax.zip\nBrindax.exe@0.9\ndata/config.ini@3\ndata/empty.dat@1\n", 2},
      {"full install", "brindax-updater-local-https", "MajAll", "", 0},
      {"full install from the third mirror", "brindax-updater-local-https-mirrors", "MajAll", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(install_);
    fs::create_directories(install_);
    serve(kList, release_one());
    if (!c.local_list.empty()) write_file(install_ / "LocalVersion.ver", c.local_list);
    const auto before = snapshot();
    const RunResult result = run(c.mode, c.build);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.error_output, "");
    if (std::string(c.mode) == "UpdateAvailable") {
      EXPECT_EQ(snapshot(), before);
      continue;
    }
    EXPECT_EQ(app_starts(), 1);
    EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
    EXPECT_EQ(read_file(install_ / "data/config.ini"), "level=1\n");
    EXPECT_EQ(read_file(install_ / "docs/readme.txt"), "Brindax\n");
  }
}

// A partial update fetches the package's directory and the changed entry
// only: nginx sends far fewer bytes of it than the package holds.
TEST_F(HttpsUpdater, PartialUpdateFetchesOnlyTheChangedEntry) {
  std::vector<Entry> entries;
  std::string old_list = "Brindax.zip\n";
  for (int i = 0; i < 10; ++i) {
    const std::string name = "data/part" + std::to_string(i) + ".bin";
    entries.push_back({name, noise(100000, static_cast<unsigned>(i)), 0644, true});
    old_list += name + "@1\n";
    write_file(install_ / name, entries.back().data);
  }
  write_file(install_ / "LocalVersion.ver", old_list);
  entries[4].data = noise(100000, 99);
  std::string new_list = old_list;
  new_list.replace(new_list.find("part4.bin@1"), 11, "part4.bin@2");
  serve(new_list, entries);
  const auto package_size = static_cast<std::int64_t>(fs::file_size(folder() / "Brindax.zip"));
  const std::size_t log_start = servers_->access_log().size();

  const RunResult result = run("MajLocal");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(read_file(install_ / "data/part4.bin"), entries[4].data);
  EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), old_list);
  const std::int64_t sent = bytes_sent(log_start, "Brindax.zip");
  EXPECT_GT(sent, 100000);
  EXPECT_LT(sent, package_size / 4) << "of " << package_size;
}

TEST_F(HttpsUpdater, RefusedServersLeaveTheFolderAsItWas) {
  struct Case {
    const char* what;
    const char* build;
    bool list_served;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"certificate of another CA", "brindax-updater-local-https-other-ca", true, kUnreachable},
      {"certificate for another host name", "brindax-updater-local-https-wrong-host", true, kUnreachable},
      {"expired certificate", "brindax-updater-local-https-expired", true, kUnreachable},
      {"redirect to http://", "brindax-updater-local-https-to-http", true, kNoList},
      {"no list on the server", "brindax-updater-local-https", false, kNoList},
  };
  for (const Case& c : cases) {
    for (const char* mode : {"MajAll", "UpdateAvailable"}) {
      SCOPED_TRACE(std::string(c.what) + ", " + mode);
      serve(kList, release_one());
      if (!c.list_served) fs::remove(folder() / "Brindax.ver");
      write_file(servers_->root() / "Brindax.ver", kList);  // where the redirect leads
      write_file(install_ / "LocalVersion.ver", "Brindax.zip\nBrindax.exe@0.9\n");
      const auto before = snapshot();
      const RunResult result = run(mode, c.build);
      EXPECT_EQ(result.exit_code, 0);
      EXPECT_EQ(result.error_output, c.message);
      EXPECT_EQ(snapshot(), before);
    }
  }
}

TEST_F(HttpsUpdater, SignedReleaseIsHeldToItsBinding) {
  const auto sign_list = [&] {
    const std::string package = read_file(folder() / "Brindax.zip");
    ReleaseHash hash;
    hash.update(package.data(), package.size());
    const std::string binding = format_release_binding({1, package.size(), hash.finish(), std::nullopt});
    ASSERT_EQ(run_in(base_, BRINDAX_MINISIGN,
                     {"-S", "-s", BRINDAX_TEST_RELEASE_SECRET_KEY, "-m", (folder() / "Brindax.ver").string(), "-t",
                      binding})
                  .exit_code,
              0);
  };
  struct Case {
    const char* what;
    bool tamper_package;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"release as signed", false, ""},
      {"package changed after signing", true,
       "Signature Error: The update package is not signed by the publisher: it is not the package that the "
       "version list names.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(install_);
    fs::create_directories(install_);
    serve(kList, release_one());
    sign_list();
    if (c.tamper_package) {
      std::string package = read_file(folder() / "Brindax.zip");
      package[package.size() / 2] ^= 0x01;
      write_file(folder() / "Brindax.zip", package);
    }
    const auto before = snapshot();
    const RunResult result = run("MajAll", "brindax-updater-local-https-signed");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.error_output, c.message);
    if (!c.message.empty()) {
      EXPECT_EQ(snapshot(), before);
      continue;
    }
    EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
    EXPECT_EQ(read_file(install_ / "LocalVersion.seq"), "Brindax installed release sequence\n1\n");
    EXPECT_EQ(app_starts(), 1);  // and the application has done before the folder goes
  }
}

TEST_F(HttpsUpdater, InstallsThroughTheProxyOfTheEnvironment) {
  serve(kList, release_one());
  const std::string proxy = "http://127.0.0.1:" + std::to_string(servers_->port(HttpsServers::PROXY_PORT));
  const RunResult result = run_with(install_, std::string(BRINDAX_TEST_BIN_DIR) + "/brindax-updater-local-https",
                                    {"MajAll"}, {{"https_proxy", proxy}});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(read_file(install_ / "LocalVersion.ver"), kList);
  EXPECT_NE(servers_->proxy_log().find("CONNECT 127.0.0.1:" + std::to_string(BRINDAX_TEST_HTTPS_PORT)),
            std::string::npos)
      << servers_->proxy_log();
}

// Trust: a build made like the product trusts the system's store alone, and
// the tests' CA file, given to test programs only, never takes the store's
// place. The system's store here is a private one, named to OpenSSL through
// SSL_CERT_FILE / SSL_CERT_DIR, so the machine's own stays untouched.
TEST_F(HttpsUpdater, TrustsTheSystemStoreAndTheTestCaOnlyBesideIt) {
  const fs::path with_ca = base_ / "store-with-ca.pem";
  const fs::path without_ca = base_ / "store-without-ca.pem";
  const fs::path empty_folder = base_ / "store-folder";
  fs::create_directories(empty_folder);
  write_file(with_ca, read_file(BRINDAX_TEST_CA_FILE));
  write_file(without_ca, "");
  const fs::path ca_file = BRINDAX_TEST_CA_FILE;
  const fs::path ca_away = ca_file.string() + ".away";
  struct Case {
    const char* what;
    const char* build;
    const fs::path& store;
    bool ca_file_readable;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"product-like build, CA in the system store", "brindax-updater-local-https-system", with_ca, true, ""},
      {"product-like build, CA only in the test file", "brindax-updater-local-https-system", without_ca, true,
       kUnreachable},
      {"test build, CA file unreadable, CA in the system store", "brindax-updater-local-https", with_ca, false, ""},
      {"test build, CA file unreadable and nowhere else", "brindax-updater-local-https", without_ca, false,
       kUnreachable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    serve(kList, release_one());
    write_file(install_ / "LocalVersion.ver", "Brindax.zip\n");  // fewer lines: 1 once the list came
    if (!c.ca_file_readable) fs::rename(ca_file, ca_away);
    const RunResult result =
        run_with(install_, std::string(BRINDAX_TEST_BIN_DIR) + "/" + c.build, {"UpdateAvailable"},
                 {{"SSL_CERT_FILE", c.store.string()}, {"SSL_CERT_DIR", empty_folder.string()}});
    if (!c.ca_file_readable) fs::rename(ca_away, ca_file);
    EXPECT_EQ(result.exit_code, c.message.empty() ? 1 : 0);
    EXPECT_EQ(result.error_output, c.message);
  }
  // The product-like build does not even name the tests' CA file.
  const std::string program = read_file(std::string(BRINDAX_TEST_BIN_DIR) + "/brindax-updater-local-https-system");
  ASSERT_NE(program.find("https://127.0.0.1:"), std::string::npos);
  EXPECT_EQ(program.find(ca_file.string()), std::string::npos);
}

TEST(HttpsBuild, HoldsNoFtpAccount) {
  const std::string program = read_file(std::string(BRINDAX_TEST_BIN_DIR) + "/brindax-updater-local-https");
  ASSERT_NE(program.find("https://127.0.0.1:"), std::string::npos);
  EXPECT_EQ(program.find(kUser), std::string::npos);
  EXPECT_EQ(program.find(kPassword), std::string::npos);
}

}  // namespace
}  // namespace brindax::process_test
