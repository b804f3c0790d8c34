#include "util/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace vexlo {

namespace {

constexpr std::size_t kNoOverride = SIZE_MAX;

std::atomic<std::size_t> forced_parts{0};
std::atomic<std::size_t> forced_budget{kNoOverride};
// Calling threads in passes and helper threads, together held within thread_budget().
std::atomic<std::size_t> threads_alive{0};

// Whether a thread already holds a slot (a caller inside a pass, or a helper) is its value of
// one POSIX key, not a thread_local: in a module loaded with dlopen a thread_local's storage
// is allocated on each thread's first touch, and when that allocation fails the C library
// ends the process. Setting a key's value reports such a failure instead; a thread left
// unmarked counts a slot again for a pass it runs inside a part, so takes fewer helpers,
// never more.
const std::optional<pthread_key_t>& slot_key() {
    static const std::optional<pthread_key_t> key = []() -> std::optional<pthread_key_t> {
        pthread_key_t k;
        if (pthread_key_create(&k, nullptr) != 0) return std::nullopt;
        return k;
    }();
    return key;
}

bool holds_slot() {
    const std::optional<pthread_key_t>& key = slot_key();
    return key && pthread_getspecific(*key) != nullptr;
}

// Marks or unmarks this thread; clearing a mark allocates nothing and cannot fail.
void mark_slot(bool held) {
    static const char marker = 0;
    if (const std::optional<pthread_key_t>& key = slot_key()) {
        static_cast<void>(pthread_setspecific(*key, held ? &marker : nullptr));
    }
}

// Free memory a helper checks for before it takes its exception state (a few dozen bytes),
// with room to spare.
constexpr std::size_t kReadyRoom = 4096;

// The text of a small file, or none when it cannot be read.
std::optional<std::string> small_file(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "re");
    if (f == nullptr) return std::nullopt;
    std::string text(4096, '\0');
    const std::size_t n = std::fread(text.data(), 1, text.size(), f);
    std::fclose(f);
    text.resize(n);
    return text;
}

// The unsigned decimal number that is all of `token`, or none.
std::optional<std::uint64_t> whole_number(std::string_view token) {
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
    if (token.empty() || ec != std::errc() || end != token.data() + token.size()) {
        return std::nullopt;
    }
    return v;
}

// The next blank-separated word of `text`, taken off its front.
std::string_view next_word(std::string_view& text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    std::size_t at = 0;
    while (at < text.size() && blank(text[at]))
        ++at;
    std::size_t end = at;
    while (end < text.size() && !blank(text[end]))
        ++end;
    const std::string_view word = text.substr(at, end - at);
    text.remove_prefix(end);
    return word;
}

// The lowest quota of the process's cgroup v2 group and its ancestors, as cores. The group
// is the "0::" line of /proc/self/cgroup; a process in a cgroup namespace sees "/" there and
// its own limits at the mount's root.
std::optional<std::size_t> cgroup_cores() {
    std::string group = "/";
    if (const std::optional<std::string> lines = small_file("/proc/self/cgroup")) {
        std::string_view rest = *lines;
        while (!rest.empty()) {
            const std::size_t eol = std::min(rest.find('\n'), rest.size());
            const std::string_view line = rest.substr(0, eol);
            if (line.starts_with("0::")) group = std::string(line.substr(3));
            rest.remove_prefix(std::min(eol + 1, rest.size()));
        }
    }
    std::optional<std::size_t> lowest;
    for (std::string dir = "/sys/fs/cgroup" + group;;) {
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        if (const std::optional<std::string> text = small_file(dir + "/cpu.max")) {
            if (const std::optional<std::size_t> cores = cpu_max_cores(*text)) {
                lowest = std::min(lowest.value_or(SIZE_MAX), *cores);
            }
        }
        if (dir.size() <= std::string_view("/sys/fs/cgroup").size()) break;
        dir.erase(dir.rfind('/'));
    }
    return lowest;
}

std::size_t affinity_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    return static_cast<std::size_t>(std::max(1u, std::thread::hardware_concurrency()));
}

std::size_t thread_budget() {
    const std::size_t forced = forced_budget.load(std::memory_order_relaxed);
    return forced != kNoOverride ? forced + 1 : usable_cores();
}

}  // namespace

std::optional<std::size_t> cpu_max_cores(std::string_view text) {
    const std::string_view quota_word = next_word(text);
    const std::string_view period_word = next_word(text);
    if (!next_word(text).empty() || quota_word == "max") return std::nullopt;
    const std::optional<std::uint64_t> quota = whole_number(quota_word);
    const std::optional<std::uint64_t> period = whole_number(period_word);
    if (!quota || !period || *quota == 0 || *period == 0) return std::nullopt;
    const std::uint64_t cores = *quota / *period + (*quota % *period != 0 ? 1 : 0);
    return static_cast<std::size_t>(std::min<std::uint64_t>(cores, SIZE_MAX));
}

std::size_t cores_within_quota(std::size_t affinity, std::optional<std::size_t> quota) {
    return std::min(affinity, quota.value_or(affinity));
}

std::size_t usable_cores() {
    static const std::size_t cores = [] {
        const std::size_t affinity = affinity_cores();
        try {
            return cores_within_quota(affinity, cgroup_cores());
        } catch (const std::bad_alloc&) {
            return affinity;
        }
    }();
    return cores;
}

std::size_t parts_for(std::size_t items, std::size_t min_per_part) {
    if (const std::size_t forced = forced_parts.load(std::memory_order_relaxed)) return forced;
    return std::max<std::size_t>(1, std::min({usable_cores(), kMaxThreads, items / min_per_part}));
}

void force_parts_for_tests(std::size_t parts) {
    forced_parts.store(parts, std::memory_order_relaxed);
}

void force_helper_budget_for_tests(std::optional<std::size_t> helpers) {
    forced_budget.store(helpers.value_or(kNoOverride), std::memory_order_relaxed);
}

std::size_t pass_threads_alive() {
    return threads_alive.load(std::memory_order_relaxed);
}

namespace detail {

// A caller is never refused its slot: past the budget it runs its pass alone, taking no
// helper.
CallerSlot::CallerSlot() noexcept : taken_(!holds_slot()) {
    if (!taken_) return;
    mark_slot(true);
    threads_alive.fetch_add(1, std::memory_order_relaxed);
}

CallerSlot::~CallerSlot() {
    if (!taken_) return;
    threads_alive.fetch_sub(1, std::memory_order_relaxed);
    mark_slot(false);
}

std::size_t take_helpers(std::size_t wanted) noexcept {
    const std::size_t budget = thread_budget();
    std::size_t alive = threads_alive.load(std::memory_order_relaxed);
    for (;;) {
        const std::size_t n = alive < budget ? std::min(wanted, budget - alive) : 0;
        if (n == 0) return 0;
        if (threads_alive.compare_exchange_weak(alive, alive + n, std::memory_order_relaxed)) {
            return n;
        }
    }
}

void give_back_helpers(std::size_t n) noexcept {
    if (n != 0) threads_alive.fetch_sub(n, std::memory_order_relaxed);
}

void enter_helper() noexcept {
    mark_slot(true);
}

bool ready_helper() noexcept {
    void* room = std::malloc(kReadyRoom);
    if (room == nullptr) return false;
    std::free(room);
    // Takes the state: the runtime's per-thread record of exceptions.
    static_cast<void>(std::uncaught_exceptions());
    return true;
}

}  // namespace detail

}  // namespace vexlo
