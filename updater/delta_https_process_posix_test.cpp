// Updates by pieces over HTTPS (brindax-updater-local-https against nginx):
// the delta file and the package's ranges come through the same transport
// seam as over FTP, with the same results.
#include <stdlib.h>

#include "testing/https_servers.h"
#include "updater/delta_test_support.h"

namespace brindax::process_test {
namespace {

using testkit::HttpsServers;

class DeltaOverHttps : public UpdaterProcess {
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
  static fs::path folder() { return servers_->root() / "source" / "Kelmor"; }
  static void serve(const fs::path& release) {
    fs::remove_all(folder());
    fs::create_directories(folder());
    fs::copy(release, folder(), fs::copy_options::recursive);
  }
  // Requests nginx logged from line `from` on for a path ending in `file`.
  static int requests(std::size_t from, const std::string& file) {
    const auto log = servers_->access_log();
    int count = 0;
    for (std::size_t i = from; i < log.size(); ++i) count += log[i].find(file + " ") != std::string::npos;
    return count;
  }
  std::map<std::string, std::string> tree() {
    app_starts(std::chrono::milliseconds(0));
    auto content = snapshot();
    content.erase("app-started.log");
    return content;
  }
  void install(const fs::path& release) {
    serve(release);
    fs::remove_all(install_);
    fs::create_directories(install_);
    ASSERT_EQ(updater({"MajAll"}, "brindax-updater-local-https").exit_code, 0);
  }

  static HttpsServers* servers_;
};
HttpsServers* DeltaOverHttps::servers_ = nullptr;

TEST_F(DeltaOverHttps, DeltasAndRangesGiveAFullInstallsTree) {
  ASSERT_EQ(servers_->failure(), "");
  const fs::path r1 = publish_release(base_, 1);
  const fs::path r2 = publish_release(base_, 2, {"--previous", r1.string()});
  install(r2);
  const auto expected = tree();
  struct Case {
    const char* what;
    std::function<void()> spoil;
    bool package_asked;
  };
  const std::vector<Case> cases = {
      {"a delta applied", [] {}, false},
      {"the delta missing", [] { fs::remove_all(folder() / "deltas"); }, true},
      {"no manifest", [] { fs::remove(folder() / "Brindax.ver.manifest"); }, true},
  };
  for (const auto& c : cases) {
    for (const std::string mode : {"MajLocal", "MajAll"}) {
      SCOPED_TRACE(std::string(c.what) + " " + mode);
      install(r1);
      const std::string installed_list = read_file(install_ / "LocalVersion.ver");
      serve(r2);
      c.spoil();
      const std::size_t from = servers_->access_log().size();
      const RunResult run = updater({mode}, "brindax-updater-local-https");
      EXPECT_EQ(run.exit_code, 0);
      EXPECT_EQ(run.error_output, "");
      auto got = tree();
      if (mode == "MajLocal") {
        EXPECT_EQ(got["LocalVersion.ver"], installed_list);
        got["LocalVersion.ver"] = expected.at("LocalVersion.ver");
      }
      EXPECT_EQ(got, expected);
      EXPECT_EQ(requests(from, "/Brindax.zip") > 0, c.package_asked);
      EXPECT_EQ(requests(from, "/Brindax.ver.manifest"), 1);
    }
  }
}

}  // namespace
}  // namespace brindax::process_test
