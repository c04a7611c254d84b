// StreamThread: the one stop contract of the SDK's streams.
#include <vorn/stream_thread.hpp>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Records the events a stream delivers and when its callback is destroyed.
struct Recorder {
    std::vector<std::size_t> kinds; // the producer's thread only
    std::vector<std::string> texts;
    std::function<void()> on_event;
    std::atomic<bool> destroyed{false};
};

vorn::StreamCallback recording_callback(Recorder &recorder) {
    static const vorn::StreamCallbackOps ops{
        [](void *state, vorn::StreamEvent *event) {
            auto &r = *static_cast<Recorder *>(state);
            r.kinds.push_back(event->index());
            if (event->index() == 1) {
                r.texts.push_back(std::get<1>(*event));
            }
            if (r.on_event) {
                r.on_event();
            }
        },
        [](void *state) {
            if (state != nullptr) {
                static_cast<Recorder *>(state)->destroyed = true;
            }
        }};
    return vorn::StreamCallback(&ops, &recorder);
}

// Emits lent chunks until told to stop.
void emit_until_stopped(vorn::StreamEmitter &emit, const std::stop_token &stop) {
    std::uint8_t byte = 0;
    while (!stop.stop_requested()) {
        emit(vorn::ChunkView{&byte, 1});
        std::this_thread::yield();
    }
}

TEST(StreamThread, ConcurrentStopsAllReturnAfterTheCallbackIsGone) {
    Recorder recorder;
    vorn::StreamThread stream(recording_callback(recorder), "t: ", emit_until_stopped);
    std::atomic<int> early{0};
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 4; ++i) {
        stoppers.emplace_back([&] {
            stream.stop();
            early += recorder.destroyed ? 0 : 1;
        });
    }
    for (auto &t : stoppers) {
        t.join();
    }
    EXPECT_EQ(early.load(), 0);
    stream.stop(); // and once more, after the fact
    EXPECT_TRUE(recorder.destroyed);
}

TEST(StreamThread, StopFromTheProducerOnlyAsksAndALaterStopFinishes) {
    Recorder recorder;
    std::atomic<vorn::StreamThread *> running{nullptr};
    std::atomic<std::size_t> asked_at{0};
    recorder.on_event = [&] {
        if (auto *stream = running.load(); stream != nullptr && asked_at == 0) {
            stream->stop(); // on the producing thread: must neither join itself nor destroy
            asked_at = recorder.kinds.size();
        }
    };
    auto stream = std::make_unique<vorn::StreamThread>(recording_callback(recorder), "t: ",
                                                       emit_until_stopped);
    running = stream.get();
    while (asked_at == 0) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(recorder.destroyed);
    stream->stop();
    EXPECT_TRUE(recorder.destroyed);
    EXPECT_EQ(recorder.kinds.size(), asked_at.load()); // the request ended the loop
}

TEST(StreamThread, AFailureBecomesTheLastEventsAndNothingFollowsTheEnd) {
    Recorder failing;
    Recorder ending;
    vorn::StreamThread stream(recording_callback(failing), "t: failed: ",
                              [](vorn::StreamEmitter &emit, const std::stop_token &) {
                                  emit(std::string("note"));
                                  throw std::runtime_error("boom");
                              });
    vorn::StreamThread ended(recording_callback(ending), "t: ",
                             [](vorn::StreamEmitter &emit, const std::stop_token &) {
                                 emit.end();
                                 emit.error("after the end");
                                 throw std::runtime_error("after the end");
                             });
    stream.end_thread();
    ended.end_thread();
    EXPECT_EQ(failing.texts, (std::vector<std::string>{"note", "t: failed: boom"}));
    EXPECT_EQ(failing.kinds, (std::vector<std::size_t>{1, 1, 0}));
    EXPECT_EQ(ending.kinds, std::vector<std::size_t>{0});
    EXPECT_FALSE(failing.destroyed); // end_thread keeps the callback for stop()
}

TEST(StreamThread, IsInertInAForkedChild) {
    Recorder recorder;
    auto stream = std::make_unique<vorn::StreamThread>(recording_callback(recorder), "t: ",
                                                       emit_until_stopped);
    const pid_t child = fork();
    if (child == 0) {
        alarm(10); // joining the parent's thread would hang
        stream->stop();
        stream.reset();
        _exit(recorder.destroyed ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(recorder.destroyed); // the parent's stream runs on
    stream->stop();
    EXPECT_TRUE(recorder.destroyed);
}

} // namespace
