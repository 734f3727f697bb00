#include "publish/release_list.h"

#include <gtest/gtest.h>

#include <set>

namespace brindax::publish {
namespace {

TEST(PublishNames, RefusedNamesSayWhy) {
  const struct {
    std::string name;
    std::string why;  // empty: accepted
  } cases[] = {
      {"Brindax.exe", ""},
      {"data/sub/caf\xe9.txt", ""},  // Latin-1 é
      {"a@b.txt", "\"@\""},
      {"line\rend.txt", "line break"},
      {"two\nlines.txt", "line break"},
      {"../outside.txt", "refuses"},
      {"c:evil.txt", "refuses"},
      {"folder/", "refuses"},
  };
  for (const auto& c : cases) {
    const std::string why = name_problem(c.name);
    if (c.why.empty()) {
      EXPECT_EQ(why, "") << c.name;
    } else {
      EXPECT_NE(why.find(c.why), std::string::npos) << c.name << ": " << why;
    }
  }
}

TEST(PublishNames, NamesThatLandOnOneFileOnWindows) {
  const struct {
    std::vector<std::string> names;
    std::vector<std::string> conflicts;  // a part of each line, in order
  } cases[] = {
      {{"readme.txt", "docs/readme.txt", "docs.txt", "a/b/c"}, {}},
      {{"readme.txt", "README.txt"}, {"\"readme.txt\" and \"README.txt\" are one file on Windows"}},
      {{"caf\xe9.txt", "CAF\xc9.TXT"}, {"one file on Windows"}},  // Latin-1 letters fold too
      {{"docs", "docs/readme.txt"}, {"\"docs\" is a file, but \"docs/readme.txt\" needs a folder"}},
      {{"a/B/c", "A/b"}, {"\"A/b\" is a file, but \"a/B/c\""}},
      {{"x.txt", "x.txt"}, {}},  // exact repeats are reported as such elsewhere
  };
  for (const auto& c : cases) {
    const std::vector<std::string> found = name_conflicts(c.names);
    ASSERT_EQ(found.size(), c.conflicts.size()) << c.names[0] << (found.empty() ? "" : ": " + found[0]);
    for (std::size_t i = 0; i < found.size(); ++i) {
      EXPECT_NE(found[i].find(c.conflicts[i]), std::string::npos) << found[i];
    }
  }
}

TEST(PublishPlan, PreviousOrderIsKeptAndNewFilesAreAppended) {
  const ParsedList previous = parse_list("Brindax.zip\nz.txt@1\nb.txt@1\ngone.txt@7\n");
  const ReleasePlan plan = plan_release(
      {{"new2.txt", "n2"}, {"b.txt", "2"}, {"a-new.txt", "n1"}, {"z.txt", "1"}}, &previous);
  EXPECT_EQ(render_list("Brindax.zip", plan.records),
            "Brindax.zip\nz.txt@1\nb.txt@2\ngone.txt@7\na-new.txt@n1\nnew2.txt@n2\n");
  EXPECT_EQ(plan.from_previous, (std::vector<bool>{false, false, true, false, false}));
  EXPECT_EQ(plan.changed, std::vector<std::string>{"b.txt"});
  EXPECT_EQ(plan.added, (std::vector<std::string>{"a-new.txt", "new2.txt"}));
  EXPECT_EQ(plan.removed, std::vector<std::string>{"gone.txt"});

  const ReleasePlan fresh = plan_release({{"b", "1"}, {"a", "2"}}, nullptr);
  EXPECT_EQ(render_list("P.zip", fresh.records), "P.zip\na@2\nb@1\n");
  EXPECT_TRUE(fresh.added.empty());
}

TEST(PublishPlan, WhatAnInstallationAtThePreviousReleaseSees) {
  const std::string previous = "Brindax.zip\na@1\nb@1\n";
  const struct {
    std::string next;
    int answer;
    bool reaches;
    std::string first_added;
  } cases[] = {
      {"Brindax.zip\na@1\nb@1\n", 0, true, ""},
      {"Brindax.zip\na@1\nb@2\n", 2, true, ""},
      {"Brindax.zip\na@2\nb@1\nc@1\n", 1, true, "c"},  // the one added record is installed
      {"Brindax.zip\na@2\nb@1\nc@1\nd@1\n", 1, false, "c"},
  };
  for (const auto& c : cases) {
    const InstalledView view = installed_view(previous, c.next);
    EXPECT_EQ(view.check_answer, c.answer) << c.next;
    EXPECT_EQ(view.partial_update_reaches_new, c.reaches) << c.next;
    EXPECT_EQ(view.first_added, c.first_added) << c.next;
  }
}

TEST(PublishVerify, EachBrokenListIsCaught) {
  const std::set<std::string> entries = {"a.txt", "A.txt", "b.txt", "c.txt", "a@b.txt"};
  const auto has_entry = [&](const std::string& name) { return entries.count(name) > 0; };
  const std::string_view previous = "Brindax.zip\na.txt@1\nb.txt@1\n";
  const struct {
    const char* what;
    std::string list;
    bool package_present;
    bool against_previous;
    std::string problem;  // a part of the one problem line expected; empty: sound
  } cases[] = {
      {"sound", "Brindax.zip\na.txt@1\nb.txt@1\n", true, true, ""},
      {"sound, appended", "Brindax.zip\na.txt@1\nb.txt@2\nc.txt@1\n", true, true, ""},
      {"missing entry", "Brindax.zip\na.txt@1\nd.txt@1\n", true, false, "\"d.txt\" is not an entry"},
      {"CR line ends", "Brindax.zip\na.txt@1\r\nb.txt@1\n", true, false, "line 2: ends in CR"},
      {"@ in a name", "Brindax.zip\na@b.txt@1\n", true, false, "more than one \"@\""},
      {"duplicate", "Brindax.zip\na.txt@1\na.txt@2\n", true, false, "repeats line 2"},
      {"no version", "Brindax.zip\na.txt@\n", true, false, "no version"},
      {"no package", "Brindax.zip\na.txt@1\n", false, false, "is not beside the list"},
      {"shifted", "Brindax.zip\nc.txt@1\na.txt@1\nb.txt@1\n", true, true, "(records moved)"},
      {"vanished", "Brindax.zip\na.txt@1\n", true, true, "vanished"},
      {"case twins", "Brindax.zip\na.txt@1\nA.txt@1\n", true, false, "(no full install succeeds)"},
  };
  for (const auto& c : cases) {
    const std::vector<std::string> problems =
        list_problems(c.list, c.package_present, has_entry, c.against_previous ? &previous : nullptr);
    if (c.problem.empty()) {
      EXPECT_TRUE(problems.empty()) << c.what << ": " << (problems.empty() ? "" : problems[0]);
      continue;
    }
    ASSERT_FALSE(problems.empty()) << c.what;
    EXPECT_NE(problems[0].find(c.problem), std::string::npos) << c.what << ": " << problems[0];
  }
}

}  // namespace
}  // namespace brindax::publish
