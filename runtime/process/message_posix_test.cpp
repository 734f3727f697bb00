// show_message on POSIX: the line on standard error, and the dialog that is
// shown (and waited for) only in a graphical session.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "runtime/process/launcher_posix_test_support.h"
#include "runtime/process/message.h"

namespace brindax {
namespace {

using namespace std::chrono_literals;
using test::EnvSetting;
using test::read_file;
using test::StreamCapture;
using test::TempFolder;
using test::write_file;

// A folder of recording dialog programs that is the whole PATH, and no
// graphical session unless a test sets one.
class MessageTest : public ::testing::Test {
 protected:
  void add_dialog(const std::string& name) {
    // The script is slow on purpose: its record appears only if the caller
    // waited for it to end. It also talks on standard error, which must not
    // reach the updater's.
    write_file(bin / name,
               "#!/bin/sh\n/bin/sleep 0.3\necho noise >&2\nfor a in \"$@\"; do echo \"$a\"; done > '" +
                   log + "'\n",
               true);
  }
  std::string show(const char* title, const char* text, std::int32_t* result = nullptr) {
    StreamCapture errors(2, folder / "stderr");
    const std::int32_t answer = show_notice(title, text);
    if (result != nullptr) *result = answer;
    return errors.text();
  }

  TempFolder folder;
  TempFolder bin;
  std::string log = folder / "dialog.log";
  EnvSetting path{"PATH", bin.path().c_str()};
  EnvSetting display{"DISPLAY", nullptr};
  EnvSetting wayland{"WAYLAND_DISPLAY", nullptr};
};

TEST_F(MessageTest, WritesOneLineToStandardError) {
  std::int32_t result = 0;
  EXPECT_EQ(show("Ftp Error", "Canot open Ftp connection", &result),
            "Ftp Error: Canot open Ftp connection\n");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(show(nullptr, nullptr), ": \n");
  EXPECT_EQ(show("unzip Error", "two\nlines\r\n"), "unzip Error: two lines  \n");
  // 8-bit runtime text reaches the terminal as UTF-8.
  EXPECT_EQ(show("unzip Error", "Canot uncompress filecaf\xE9.txt"),
            "unzip Error: Canot uncompress filecaf\xC3\xA9.txt\n");
}

TEST_F(MessageTest, NoDialogWithoutAGraphicalSession) {
  add_dialog("zenity");
  EnvSetting empty_display("DISPLAY", "");
  EXPECT_EQ(show("Ftp Error", "Canot open Ftp connection"),
            "Ftp Error: Canot open Ftp connection\n");
  EXPECT_FALSE(std::filesystem::exists(log));
}

TEST_F(MessageTest, DialogIsShownAndWaitedFor) {
  add_dialog("zenity");
  add_dialog("kdialog");
  add_dialog("xmessage");
  EnvSetting session("DISPLAY", ":99");

  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(show("Ftp Error", "Canot open <Ftp> connection"),
            "Ftp Error: Canot open <Ftp> connection\n");
  EXPECT_GE(std::chrono::steady_clock::now() - before, 250ms);
  EXPECT_EQ(read_file(log),
            "--info\n--no-markup\n--title=Ftp Error\n--text=Canot open <Ftp> connection\n");
}

TEST_F(MessageTest, DialogProgramsAreTriedInOrder) {
  add_dialog("kdialog");
  add_dialog("xmessage");
  EnvSetting session("WAYLAND_DISPLAY", "wayland-0");

  show("Reveriv", "UnZip success");
  EXPECT_EQ(read_file(log), "--title=Reveriv\n--msgbox=UnZip success\n");

  std::filesystem::remove(bin / "kdialog");
  show("Reveriv", "-geometry");
  EXPECT_EQ(read_file(log), "-title\nReveriv\n-center\n-buttons\nOK:0\n-default\nOK\n -geometry\n");

  // A graphical session without any dialog program: the line is all.
  std::filesystem::remove(bin / "xmessage");
  std::filesystem::remove(log);
  EXPECT_EQ(show("Reveriv", "UnZip success"), "Reveriv: UnZip success\n");
  EXPECT_FALSE(std::filesystem::exists(log));
}

}  // namespace
}  // namespace brindax
