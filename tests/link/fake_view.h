// A thread-safe ILinkView for link tests. Field writes from the thread that created
// it apply at once; writes from other threads can be made synchronous (they wait
// until the owner thread runs RunPendingCalls), as the real view delivers them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/link_view.h"

class FakeView : public ILinkView {
public:
    explicit FakeView(bool synchronous_workers = false)
        : owner_(std::this_thread::get_id()), synchronous_(synchronous_workers) {}

    void SetFieldText(int field, const char* text) override {
        if (text == nullptr || field < 0 || field >= ViewFieldCount) return;
        std::string value(text);
        if (!synchronous_ || std::this_thread::get_id() == owner_) {
            Apply(field, value);
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        bool done = false;
        pending_.push_back([this, field, value, &done] {
            ApplyLocked(field, value);
            done = true;
        });
        cv_.wait(lock, [&] { return done; });
    }
    int GetFieldText(int field, char* buffer, int limit) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string t = fields_.count(field) ? fields_[field] : std::string();
        if (limit <= 0) return 0;
        int n = std::min<int>(static_cast<int>(t.size()), limit - 1);
        t.copy(buffer, static_cast<size_t>(n));
        buffer[n] = '\0';
        return n;
    }
    bool IsFieldModified(int) override { return false; }
    void SetFieldModified(int, bool) override {}
    void AppendSample(uint8_t value, Colour) override {
        std::lock_guard<std::mutex> lock(mutex_);
        samples_.push_back(value);
    }
    void AppendPulseTrend(uint8_t value) override {
        std::lock_guard<std::mutex> lock(mutex_);
        pulse_trend_.push_back(value);
    }
    void ResetPlot() override { ++reset_plots; }
    void RedrawPlot() override {}
    void PostPacketMessage(int code, COximeter* link) override {
        ++posts;
        if (code == 1) last_link = link;
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hook = on_post_;
        }
        if (hook) hook();
    }
    void RunPendingCalls() override {
        ++pending_runs;
        std::lock_guard<std::mutex> lock(mutex_);
        while (!pending_.empty()) {
            pending_.front()();
            pending_.pop_front();
        }
        cv_.notify_all();
    }
    void PlaySoundAsync(const char* file_name) override {
        std::lock_guard<std::mutex> lock(mutex_);
        sounds_.push_back(file_name ? file_name : "");
    }

    void OnPost(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        on_post_ = std::move(hook);
    }
    std::string Field(int field) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = fields_.find(field);
        return it == fields_.end() ? std::string() : it->second;
    }
    // Every write as "Name=text", in order.
    std::vector<std::string> Writes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }
    void ClearWrites() {
        std::lock_guard<std::mutex> lock(mutex_);
        writes_.clear();
    }
    std::vector<uint8_t> Samples() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return samples_;
    }
    std::vector<std::string> Sounds() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return sounds_;
    }

    std::atomic<int> posts{0};
    std::atomic<int> reset_plots{0};
    std::atomic<int> pending_runs{0};
    std::atomic<COximeter*> last_link{nullptr};

private:
    void Apply(int field, const std::string& value) {
        std::lock_guard<std::mutex> lock(mutex_);
        ApplyLocked(field, value);
    }
    void ApplyLocked(int field, const std::string& value) {
        fields_[field] = value;
        writes_.push_back(std::string(ViewFieldName(field)) + "=" + value);
    }

    const std::thread::id owner_;
    const bool synchronous_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> pending_;
    std::map<int, std::string> fields_;
    std::vector<std::string> writes_;
    std::vector<uint8_t> samples_;
    std::vector<uint8_t> pulse_trend_;
    std::vector<std::string> sounds_;
    std::function<void()> on_post_;
};
