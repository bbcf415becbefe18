#pragma once

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "support/test_host.h"
#include "transfer/download_file.h"

namespace kw::testing {

// What a download shows, as it shows it: every text of every label, every percentage, the log,
// and what became of the file.
class RecordingProgress final : public DownloadProgress {
 public:
  explicit RecordingProgress(TestHost& host) : host_(host) {}

  void PumpEvents() override { host_.PumpEvents(); }
  void WaitForEvents(std::chrono::milliseconds timeout) override { host_.WaitForEvents(timeout); }
  void SetLabel(Label label, std::string_view text) override { shown[label].emplace_back(text); }
  void SetPercent(double percent) override { percents.push_back(percent); }
  void AppendToErrorLog(std::string_view text) override { error_log += text; }
  void FileDone(std::string_view, const FileOutcome& outcome) override { done = outcome; }

  // The latest text of a label; "" if it was never written.
  std::string Last(Label label) { return shown[label].empty() ? "" : shown[label].back(); }

  std::map<Label, std::vector<std::string>> shown;
  std::vector<double> percents;
  std::string error_log;
  FileOutcome done;

 private:
  TestHost& host_;
};

}  // namespace kw::testing
