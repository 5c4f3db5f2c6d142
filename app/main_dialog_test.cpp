#include "app/main_dialog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/exit_dlg.h"
#include "data/org_info.h"
#include "platform/env/fake_env.h"
#include "platform/profile/fake_profile.h"
#include "platform/providers/providers.h"
#include "platform/window/fake_window.h"

namespace tavrin {
namespace {

const char kIni[] = "/w/TavrinReport.ini";

class MainDialogTest : public ::testing::Test {
 protected:
  MainDialogTest() : env_(1000, "/w") {
    // Ten ticks make one second of the fake clock.
    window_.SetTickHook([this](int template_id, int) {
      if (template_id == kMainDialogTemplate && ++ticks_ % 10 == 0) env_.Advance(1);
    });
  }

  FakeEnv env_;
  FakeProfileStore store_;
  FakeWindow window_;
  ado::DefaultProviders providers_{env_};
  FileSystem& files_ = *FileSystem::Default();
  int ticks_ = 0;
};

TEST_F(MainDialogTest, EmptyScheduleIsRefusedAndEndsAtTheFirstTick) {
  CTavrinReportGeneratorDlg dlg(env_, window_, &store_, providers_, files_, "", "tavrin-report");
  EXPECT_EQ(window_.DoModal(dlg), kIdOk);
  const auto boxes = window_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "Invalid Invocation Of App");
  EXPECT_EQ(boxes[0].text,
            "You must either specify a report name on the command line,\n"
            "or have atleast one report name in the schedule section \nof the ini.");
  EXPECT_EQ(boxes[0].style, BoxStyle::kMainWindowStop);
  EXPECT_TRUE(dlg.invalid_invocation());
  EXPECT_EQ(window_.LastDialog(kMainDialogTemplate).ticks, 1);
  EXPECT_EQ(store_.Find("Report Schedule", "Report Name01", kIni), "");
  EXPECT_EQ(store_.Find("Report Schedule", "Minutes Between Reports01", kIni), "1");
}

TEST_F(MainDialogTest, RefusedReportEndsTheWindowWithCancel) {
  CTavrinReportGeneratorDlg dlg(env_, window_, &store_, providers_, files_, "Daily", "tavrin-report");
  EXPECT_EQ(window_.DoModal(dlg), kIdCancel);
  const auto boxes = window_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "tavrin-report");
  EXPECT_EQ(boxes[0].style, BoxStyle::kAppWarning);
  EXPECT_TRUE(dlg.definition_refused());
  EXPECT_EQ(env_.threads_started(), 1);
  // The schedule section is not read in command-line mode.
  EXPECT_FALSE(store_.Find("Report Schedule", "Report Name01", kIni).has_value());
}

TEST_F(MainDialogTest, FailedOpenEndsTheRunAndTheWindowWaits) {
  store_.Set("Report Schedule", "Report Name01", "Daily", kIni);
  store_.Set("Report Schedule", "Minutes Between Reports01", "0", kIni);
  store_.Set("Report Schedule", "Report Name02", "Daily", kIni);
  store_.Set("Report Schedule", "Minutes Between Reports02", "0", kIni);
  store_.Set("Daily", "Output", "CSV", kIni);
  store_.Set("Daily", "DataPath", "/nonexistent/Vesk.mdb", kIni);
  CTavrinReportGeneratorDlg dlg(env_, window_, &store_, providers_, files_, "", "tavrin-report");
  EXPECT_EQ(window_.DoModal(dlg), kIdOk);
  EXPECT_EQ(env_.threads_started(), 2);  // two one-shot entries, then the end
  const auto boxes = window_.boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].caption, "COM Error");
  EXPECT_TRUE(dlg.failure_reported());
  const auto rec = window_.LastDialog(kMainDialogTemplate);
  EXPECT_EQ(rec.control_texts.at(kIdStatus).back(), "Waiting until next report is due.");
  EXPECT_EQ(rec.control_texts.at(kIdReportName).back(), "Waiting until next report is due.");
  EXPECT_EQ(rec.progress.back(), 0);
  // The log saw the short-lived failure status as the run made it.
  bool logged = false;
  for (const auto& [name, status] : window_.status_changes())
    logged = logged || (name == "Daily" && status == "Database open FAILURE!");
  EXPECT_TRUE(logged);
  // Each run ends with its summary, naming the first failure, as an error;
  // the notice that names the key comes before it.
  const auto notices = window_.notices();
  const auto severities = window_.notice_severities();
  ASSERT_EQ(notices.size(), 4u);
  EXPECT_EQ(notices[0].rfind("[Daily] DataPath = \"/nonexistent/Vesk.mdb\": cannot be opened: ", 0), 0u)
      << notices[0];
  EXPECT_EQ(notices[1], "Daily: failed: Database open FAILURE!");
  EXPECT_EQ(notices[3], notices[1]);
  EXPECT_EQ(severities, std::vector<Severity>(4, Severity::kError));
}

// A source whose first query's last record finds that the source changed
// (as the Access provider does when its file was written meanwhile); the
// queries after it read the organizations named "v<query>".
class ChangingSource : public ado::ProviderFactory {
 public:
  std::unique_ptr<ado::Provider> Open(const std::string&, int, const ado::CancelCheck&,
                                      std::vector<ado::ErrorEntry>*) override {
    return std::make_unique<Source>(*this);
  }
  int queries = 0;

 private:
  class Rows : public ado::ResultSet {
   public:
    explicit Rows(int query) : query_(query) {
      for (const OrgColumn& c : kOrgColumns) columns_.emplace_back(c.name);
    }
    int64_t RowCount() const override { return 2; }
    const std::vector<std::string>& Columns() const override { return columns_; }
    ado::Variant Value(int64_t row, int column) override {
      if (kOrgColumns[static_cast<size_t>(column)].kind == OrgColumn::kLong)
        return ado::Variant::FromLong(static_cast<int32_t>(row + 1));
      if (columns_[static_cast<size_t>(column)] == "Organization Name")
        return ado::Variant::FromText("v" + std::to_string(query_));
      return ado::Variant();
    }
    void Fetch(int64_t row, std::vector<ado::ErrorEntry>* errors) override {
      if (query_ > 1 || row < 1) return;
      errors->push_back({kDbConcurrencyViolation, "changed"});
      throw _com_error(kDbConcurrencyViolation);
    }

   private:
    int query_;
    std::vector<std::string> columns_;
  };
  class Source : public ado::Provider {
   public:
    explicit Source(ChangingSource& factory) : factory_(factory) {}
    std::unique_ptr<ado::ResultSet> Query(const std::string&, std::vector<ado::ErrorEntry>*) override {
      return std::make_unique<Rows>(++factory_.queries);
    }
    void Execute(const std::string&, std::vector<ado::ErrorEntry>*) override {}

   private:
    ChangingSource& factory_;
  };
};

// At rest the panel is ticked every 100 ms, as it follows its terminal's
// size; a window that redraws itself is ticked only when a tick can decide
// something, and still starts every due run at its second and shows the
// texts the end of each run leaves.
TEST_F(MainDialogTest, AWindowThatRedrawsItselfIsTickedOnlyWhenATickCanDecide) {
  store_.Set("Report Schedule", "Report Name01", "Daily", kIni);
  store_.Set("Report Schedule", "Minutes Between Reports01", "1", kIni);
  store_.Set("Daily", "Output", "CSV", kIni);
  store_.Set("Daily", "DataPath", "/nonexistent/Vesk.mdb", kIni);
  for (const WindowServices::Refresh refresh :
       {WindowServices::Refresh::kEveryTick, WindowServices::Refresh::kWhenTextsChange}) {
    SCOPED_TRACE(static_cast<int>(refresh));
    FakeWindow window;
    window.set_refresh(refresh);
    const int64_t start_ms = env_.NowMilliseconds();
    int ticks = 0, runs_seen = env_.threads_started();
    int64_t last_tick_ms = 0;
    std::vector<int64_t> run_starts_ms;  // after the window opened
    window.SetTickHook([&](int template_id, int) {
      if (template_id != kMainDialogTemplate) return;
      // Each run is over within the tick that started it.
      if (env_.threads_started() != runs_seen) run_starts_ms.push_back(last_tick_ms);
      runs_seen = env_.threads_started();
      last_tick_ms = window.now_ms();
      env_.SetNowMs(start_ms + last_tick_ms);
      ++ticks;
      if (last_tick_ms >= 150'000) window.Close();
    });
    CTavrinReportGeneratorDlg dlg(env_, window, &store_, providers_, files_, "", "tavrin-report");
    window.DoModal(dlg);
    ASSERT_EQ(run_starts_ms.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_GE(run_starts_ms[i], 60'000 * static_cast<int64_t>(i));
      EXPECT_LE(run_starts_ms[i], 60'000 * static_cast<int64_t>(i) + 1'000);
    }
    EXPECT_EQ(window.LastDialog(kMainDialogTemplate).control_texts.at(kIdStatus).back(),
              "Waiting until next report is due.");
    if (refresh == WindowServices::Refresh::kEveryTick) {
      EXPECT_GE(ticks, 1'500);
    } else {
      EXPECT_GE(ticks, 150);  // about one a second
      EXPECT_LE(ticks, 160);
    }
  }
}

// A report that its source changed under leaves its previous output, and is
// run once more once the source file has kept one stamp for 2 seconds.
TEST_F(MainDialogTest, ASourceChangedUnderTheReportRunsItAgainWhenQuiet) {
  char pattern[] = "/tmp/tavrin-retry-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  const std::string source = dir + "/Vesk.mdb";
  const std::string output = dir + "/out.csv";
  std::ofstream(source) << "source";
  std::ofstream(output) << "previous";
  store_.Set("Daily", "Output", "CSV", kIni);
  store_.Set("Daily", "DataPath", source, kIni);
  store_.Set("Daily", "OutputFilename", output, kIni);
  store_.Set("Daily", "ReportField1", "Organization Name", kIni);
  ChangingSource providers;
  std::vector<std::string> outputs;  // what the output file held at each tick
  window_.SetTickHook([&](int template_id, int) {
    if (template_id != kMainDialogTemplate) return;
    env_.AdvanceMs(100);
    std::ifstream in(output);
    std::stringstream text;
    text << in.rdbuf();
    if (outputs.empty() || outputs.back() != text.str()) outputs.push_back(text.str());
  });
  CTavrinReportGeneratorDlg dlg(env_, window_, &store_, providers, files_, "Daily", "tavrin-report");
  const int64_t start = env_.NowMilliseconds();
  EXPECT_EQ(window_.DoModal(dlg), kIdOk);
  EXPECT_EQ(providers.queries, 2);
  EXPECT_EQ(env_.threads_started(), 2);
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(outputs[0], "previous");
  EXPECT_NE(outputs[1].find("v2"), std::string::npos) << outputs[1];
  EXPECT_EQ(outputs[1].find("v1"), std::string::npos) << outputs[1];
  EXPECT_GE(env_.NowMilliseconds() - start, 2000);
  EXPECT_TRUE(dlg.failure_reported());  // the first run failed
  const auto notices = window_.notices();
  EXPECT_NE(std::find(notices.begin(), notices.end(), "Daily: the database changed while the report read it"),
            notices.end());
  EXPECT_NE(std::find(notices.begin(), notices.end(),
                      "Daily: runs again once " + source + " has been quiet for 2 seconds"),
            notices.end());
  std::filesystem::remove_all(dir);
}

TEST(RunSummaryTest, WhatWasWrittenWhereAndHowLongOrTheFirstFailure) {
  CTavrinReportGeneratorDlg::RunEnd end;
  end.written = 183;
  end.destination = "written to status.html";
  end.seconds = 0.1234;
  EXPECT_EQ(CTavrinReportGeneratorDlg::RunSummary("Web", end),
            "Web: 183 organizations written to status.html in 0.12 s");
  end.written = 1;
  end.destination = "printed on Office";
  EXPECT_EQ(CTavrinReportGeneratorDlg::RunSummary("List", end), "List: 1 organization printed on Office in 0.12 s");
  end.stopped = true;
  EXPECT_EQ(CTavrinReportGeneratorDlg::RunSummary("List", end), "List: stopped after 1 organization in 0.12 s");
  end.failed = true;
  end.failure = "Could not open heade.xml for reading";
  EXPECT_EQ(CTavrinReportGeneratorDlg::RunSummary("Feed", end), "Feed: failed: Could not open heade.xml for reading");
}

TEST_F(MainDialogTest, IniWarningsReachTheWindowAsNotices) {
  store_.Set("Daily", "Output", "CSV", kIni);
  store_.Set("Daily", "DataPath", "/nonexistent/Vesk.mdb", kIni);
  store_.Set("Daily", "Where", std::string(400, 'x'), kIni);
  store_.set_fail_writes(true);
  CTavrinReportGeneratorDlg dlg(env_, window_, &store_, providers_, files_, "Daily", "tavrin-report");
  window_.DoModal(dlg);
  const auto notices = window_.notices();
  // Then the run's failure to open the source, and its summary.
  ASSERT_EQ(notices.size(), 4u);
  EXPECT_EQ(notices[0], "TavrinReport: cannot write /w/TavrinReport.ini: Permission denied");
  EXPECT_EQ(notices[1],
            "TavrinReport: value of [Daily] Where is longer than 299 bytes; using its first 299 "
            "bytes");
}

TEST(ExitDlgTest, CountsDownInItsCaptionAndClosesItself) {
  FakeWindow window;
  CExitDlg dlg;
  dlg.SetMessage("line 1\r\nline 2\r\nline 3", 5);
  EXPECT_EQ(window.DoModal(dlg), kIdOk);
  const auto rec = window.LastDialog(kTimedMessageTemplate);
  EXPECT_EQ(rec.captions,
            (std::vector<std::string>{"Error!", "Message will close in 4 seconds.",
                                      "Message will close in 3 seconds.",
                                      "Message will close in 2 seconds.",
                                      "Message will close in 1 seconds.",
                                      "Message will close in 0 seconds."}));
  EXPECT_EQ(rec.control_texts.at(kIdStatus).back(), "line 1\r\nline 2\r\nline 3");
  EXPECT_EQ(rec.ticks, 5);
  EXPECT_EQ(rec.ended_ms - rec.started_ms, 5000);
}

TEST(ExitDlgTest, ZeroSecondsEndsAtTheFirstTickShowingTheNegativeRemainder) {
  FakeWindow window;
  CExitDlg dlg;
  dlg.SetMessage("x", 0);
  EXPECT_EQ(window.DoModal(dlg), kIdOk);
  EXPECT_EQ(window.LastDialog(kTimedMessageTemplate).captions.back(),
            "Message will close in -1 seconds.");
}

}  // namespace
}  // namespace tavrin
