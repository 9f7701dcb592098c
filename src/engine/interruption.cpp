// SIGINT and SIGTERM stop the running conversions and remove what they were building.
#include "engine/interruption.h"

#include "engine/leftovers.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <list>
#include <mutex>
#include <pthread.h>
#include <signal.h>
#include <thread>

namespace kv::Interruption {
namespace {

// Long enough for converters that check their stop token; a library call that never returns
// early (one large image encode) does not hold the exit up longer than this.
constexpr auto kUnwindGrace = std::chrono::seconds(3);

struct Registry {
    std::mutex lock;
    std::condition_variable idle;
    std::list<std::stop_source> running;
    bool interrupted = false;
};

// Never destroyed: the watcher thread outlives static destruction.
Registry& registry() {
    static Registry* state = new Registry;
    return *state;
}

sigset_t watchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

[[noreturn]] void watch() {
    const sigset_t set = watchedSignals();
    int received = 0;
    while (sigwait(&set, &received) != 0) {
    }
    auto& state = registry();
    {
        std::unique_lock lock(state.lock);
        state.interrupted = true;
        for (auto& source : state.running)
            source.request_stop();
        state.idle.wait_for(lock, kUnwindGrace, [&] { return state.running.empty(); });
    }
    Leftovers::removeTracked();
    // End by the signal itself, as the shell and the parent expect of an interrupted program.
    ::signal(received, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, received);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    ::raise(received);
    std::_Exit(128 + received);
}

} // namespace

void install() {
    const sigset_t set = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(&watch).detach();
}

Scope::Scope(std::stop_source source) : m_source(std::move(source)) {
    auto& state = registry();
    const std::lock_guard lock(state.lock);
    if (state.interrupted)
        m_source.request_stop();
    state.running.push_back(m_source);
}

Scope::~Scope() {
    auto& state = registry();
    {
        const std::lock_guard lock(state.lock);
        for (auto it = state.running.begin(); it != state.running.end(); ++it) {
            if (*it == m_source) {
                state.running.erase(it);
                break;
            }
        }
    }
    state.idle.notify_all();
}

} // namespace kv::Interruption
