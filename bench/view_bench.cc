// What the Qt view adds to a download: the core writes GetTimeLbl, GetFileLbl and PB1 and pumps
// the window's events after every 1 KB chunk, ~262,000 times for a 256 MB file. Measures, on the
// offscreen platform with the window shown (so repaints really happen):
//   - one event-loop pass with nothing to do (what PumpEvents would cost without its skip),
//   - a chunk's three writes and pump with no view attached (the core's own share),
//   - the same with the view attached,
// and prints the view's share per chunk and per 256 MB.
//
//   view_bench [chunks]      (default 2,000,000)

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui/qt/qt_test_window.h"

namespace {

using Clock = std::chrono::steady_clock;
using kw::ControlId;

constexpr long kChunksPer256Mb = 256 * 1024;

double NanosecondsEach(Clock::duration total, long count) {
  return std::chrono::duration<double, std::nano>(total).count() / static_cast<double>(count);
}

// The writes DownloadFile makes for chunk `i` of a file of `chunks` chunks, then its pump.
void OneChunk(kw::WindowModel& model, kw::EventLoop& loop, long i, long chunks,
              Clock::time_point start) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
  model.SetCaption(ControlId::GetTimeLbl, std::to_string(elapsed.count()) + " sec");
  model.SetCaption(ControlId::GetFileLbl, std::to_string(i + 1) + " KB");
  model.SetValue(ControlId::PB1, std::round(static_cast<double>(i + 1) * 100 / chunks));
  loop.PumpEvents();
}

// An event loop that does nothing: the core's cost alone.
class NoLoop : public kw::EventLoop {
 public:
  void PumpEvents() override {}
  void WaitForEvents(std::chrono::milliseconds) override {}
  void Post(std::function<void()>) override {}
};

class PaintCounter : public QObject {
 public:
  int count = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++count;
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
  QApplication app(argc, argv);
  QApplication::setStyle(QStringLiteral("Fusion"));
  const long chunks = argc > 1 ? std::atol(argv[1]) : 2'000'000;

  kw::testing::QtTestWindow t;
  t.host.ShowWindow();
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();

  constexpr long kPasses = 100'000;
  Clock::time_point start = Clock::now();
  for (long i = 0; i < kPasses; ++i) QCoreApplication::processEvents();
  const double pass_ns = NanosecondsEach(Clock::now() - start, kPasses);

  // The core's share: the same model, no observer, no event loop.
  kw::WindowModel bare_model;
  NoLoop no_loop;
  start = Clock::now();
  for (long i = 0; i < chunks; ++i) OneChunk(bare_model, no_loop, i, chunks, start);
  const double core_ns = NanosecondsEach(Clock::now() - start, chunks);

  PaintCounter paints;
  t.view.control(ControlId::GetFileLbl)->installEventFilter(&paints);
  start = Clock::now();
  for (long i = 0; i < chunks; ++i) OneChunk(t.model(), t.host, i, chunks, start);
  const Clock::duration viewed = Clock::now() - start;
  const double viewed_ns = NanosecondsEach(viewed, chunks);
  t.host.WaitForEvents(std::chrono::milliseconds(50));  // the view writes what it held back

  const double view_ns = viewed_ns - core_ns;
  std::printf("event-loop pass, nothing pending:        %8.0f ns\n", pass_ns);
  std::printf("chunk, core only (3 writes, no view):    %8.0f ns\n", core_ns);
  std::printf("chunk, view attached (3 writes + pump):  %8.0f ns\n", viewed_ns);
  std::printf("view's share per chunk:                  %8.0f ns\n", view_ns);
  std::printf("view's share per 256 MB (%ld chunks): %8.1f ms\n", kChunksPer256Mb,
              view_ns * kChunksPer256Mb / 1e6);
  const double seconds = std::chrono::duration<double>(viewed).count();
  std::printf("run of %ld chunks: %.2f s, GetFileLbl painted %d times (%.0f a second)\n", chunks,
              seconds, paints.count, paints.count / seconds);
  std::printf(
      "GetFileLbl after the run: %s\n",
      qobject_cast<QLabel*>(t.view.control(ControlId::GetFileLbl))->text().toStdString().c_str());
  return 0;
}
