#include "src/progress.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <streambuf>

#include "src/run_control.h"

std::string progress_line(const std::string& phase, size_t done, size_t total, double seconds,
                          int cap) {
  const unsigned long long pct = total ? 100ull * done / total : 100;
  const unsigned long long rate = seconds > 0 ? static_cast<unsigned long long>(done / seconds) : 0;
  char eta[32] = "-:--:--";
  if (done > 0 && seconds > 0) {
    const unsigned long long left =
        static_cast<unsigned long long>((total - done) * seconds / static_cast<double>(done));
    std::snprintf(eta, sizeof eta, "%llu:%02llu:%02llu", left / 3600, left / 60 % 60, left % 60);
  }
  return phase + ": " + std::to_string(done) + "/" + std::to_string(total) + " (" +
         std::to_string(pct) + "%), " + std::to_string(rate) + " users/s, ETA " + eta +
         (cap > 0 ? ", cap " + std::to_string(cap) + " calls/s per instance" : "");
}

// Passes everything on to std::cerr's own buffer, erasing a drawn progress
// line first; knows whether the output stands at the start of a line.
class progress_meter::erasing_buf : public std::streambuf {
 public:
  explicit erasing_buf(std::streambuf* inner) : inner_(inner) {}

  // Draws `text` in place of the current progress line, when the output
  // stands between lines.
  void draw(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!at_line_start_) return;
    const std::string out = "\r" + text + "\033[K";
    inner_->sputn(out.data(), static_cast<std::streamsize>(out.size()));
    inner_->pubsync();
    drawn_ = true;
  }
  void erase() {
    std::lock_guard<std::mutex> lock(mu_);
    erase_locked();
  }
  // A plain line of its own, between other lines.
  void line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!at_line_start_) return;
    const std::string out = text + "\n";
    inner_->sputn(out.data(), static_cast<std::streamsize>(out.size()));
    inner_->pubsync();
  }

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return 0;
    const char ch = static_cast<char>(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::mutex> lock(mu_);
    erase_locked();
    if (n > 0) at_line_start_ = s[n - 1] == '\n';
    return inner_->sputn(s, n);
  }
  int sync() override { return inner_->pubsync(); }

 private:
  void erase_locked() {
    if (!drawn_) return;
    inner_->sputn("\r\033[K", 4);
    drawn_ = false;
  }

  std::streambuf* inner_;
  std::mutex mu_;
  bool drawn_ = false;
  bool at_line_start_ = true;
};

namespace {

// The buffer of a meter drawing on the terminal that standard output is
// written to as well: a result line erases the drawn line first.
std::atomic<progress_meter::erasing_buf*> g_shared_terminal{nullptr};

bool same_terminal(int a, int b) {
  struct stat sa {}, sb {};
  return isatty(a) == 1 && isatty(b) == 1 && fstat(a, &sa) == 0 && fstat(b, &sb) == 0 &&
         sa.st_rdev == sb.st_rdev;
}

}  // namespace

progress_meter::progress_meter(bool enabled, bool terminal, int cap)
    : enabled_(enabled), terminal_(terminal), cap_(cap) {
  if (!enabled_) return;
  buf_.reset(new erasing_buf(std::cerr.rdbuf()));
  old_ = std::cerr.rdbuf(buf_.get());
  if (terminal_ && same_terminal(STDOUT_FILENO, STDERR_FILENO)) {
    g_shared_terminal.store(buf_.get());
    set_result_hook([] {
      if (erasing_buf* buf = g_shared_terminal.load()) buf->erase();
    });
  }
  ticker_ = std::thread([this] { tick(); });
}

progress_meter::~progress_meter() {
  if (!enabled_) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  ticker_.join();
  if (g_shared_terminal.load() == buf_.get()) {
    set_result_hook(nullptr);
    g_shared_terminal.store(nullptr);
  }
  buf_->erase();
  std::cerr.rdbuf(old_);
}

int progress_meter::begin(const std::string& phase, size_t total) {
  if (!enabled_) return 0;
  std::lock_guard<std::mutex> lock(mu_);
  int k = 0;
  while (k + 1 < kSlots && !slots_[k].phase.empty()) ++k;
  slot& s = slots_[k];
  s.phase = phase;
  s.total = total;
  s.done = 0;
  s.started = std::chrono::steady_clock::now();
  s.due = 10;
  return k;
}

void progress_meter::end(int k) {
  if (!enabled_) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    slots_[k].phase.clear();
  }
  buf_->erase();
}

void progress_meter::tick() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stopping_; })) {
    std::string text;
    for (slot& s : slots_) {
      if (s.phase.empty()) continue;
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - s.started).count();
      const std::string line = progress_line(s.phase, s.done.load(), s.total, seconds, cap_);
      if (!terminal_ && seconds >= s.due) {
        s.due += 10;
        buf_->line(line);
      }
      text += (text.empty() ? "" : " | ") + line;
    }
    if (text.empty() || !terminal_) continue;
    winsize size{};
    const size_t width =
        ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col - 1u : 79u;
    if (text.size() > width) text.resize(width);
    buf_->draw(text);
  }
}
