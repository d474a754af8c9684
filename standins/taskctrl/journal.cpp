#include "standins/taskctrl/journal.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "pal/core/root.h"
#include "pal/windows.h"

namespace taskctrl {

Watcher::Watcher() : event_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

Watcher::~Watcher() {
    if (event_ != nullptr) CloseHandle(event_);
}

void Watcher::Push(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (lines_.size() >= kLimit) {
            ++dropped_;
            return;
        }
        lines_.push_back(line);
    }
    SetEvent(event_);
}

std::vector<std::string> Watcher::Take() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out(lines_.begin(), lines_.end());
    lines_.clear();
    if (dropped_ > 0) {
        out.push_back("(" + std::to_string(dropped_) + " line(s) not shown: the watcher fell behind)");
        dropped_ = 0;
    }
    return out;
}

Journal::~Journal() {
    Close();
    if (dirty_ != nullptr) CloseHandle(dirty_);
}

bool Journal::Open(const std::string& path, size_t limit) {
    std::lock_guard<std::mutex> lock(mu_);
    path_ = path;
    limit_ = limit;
    auto slash = path.rfind('/');
    if (slash != std::string::npos) pal::core::MakeDirs(path.substr(0, slash));
    file_ = std::fopen(path.c_str(), "a");
    if (file_ == nullptr) return false;
    struct stat st;
    size_ = fstat(fileno(file_), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    return true;
}

void Journal::Close() {
    std::lock_guard<std::mutex> lock(mu_);
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    unflushed_ = false;
}

void Journal::Flush() {
    std::lock_guard<std::mutex> lock(mu_);
    if (file_ != nullptr && unflushed_) std::fflush(file_);
    unflushed_ = false;
    lastFlush_ = std::chrono::steady_clock::now();
}

void Journal::RotateLocked() {
    std::fclose(file_);
    std::rename(path_.c_str(), (path_ + ".1").c_str());
    file_ = std::fopen(path_.c_str(), "a");
    size_ = 0;
}

void Journal::Write(const std::string& text) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
    std::string line = stamp + text;
    std::lock_guard<std::mutex> lock(mu_);
    if (file_ != nullptr) {
        if (size_ > 0 && size_ + line.size() + 1 > limit_) RotateLocked();
        if (file_ != nullptr) {
            std::fputs(line.c_str(), file_);
            std::fputc('\n', file_);
            size_ += line.size() + 1;
            const auto now = std::chrono::steady_clock::now();
            if (now - lastFlush_ >= std::chrono::milliseconds(kFlushMs)) {
                std::fflush(file_);
                lastFlush_ = now;
                unflushed_ = false;
            } else if (!unflushed_) {
                unflushed_ = true;
                SetEvent(dirty_);
            }
        }
    }
    for (const auto& w : watchers_) w->Push(line);
}

void Journal::AddWatcher(const std::shared_ptr<Watcher>& watcher) {
    std::lock_guard<std::mutex> lock(mu_);
    watchers_.push_back(watcher);
}

void Journal::RemoveWatcher(const std::shared_ptr<Watcher>& watcher) {
    std::lock_guard<std::mutex> lock(mu_);
    watchers_.erase(std::remove(watchers_.begin(), watchers_.end(), watcher), watchers_.end());
}

}  // namespace taskctrl
