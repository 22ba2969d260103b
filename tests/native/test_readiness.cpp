// Unit tests of descriptor readiness: epoll events to flags, the readiness
// record's waits and clears, shared registrations in a real epoll set, and
// tasks waiting on descriptors on runtimes of 1 and of 4 worker threads.
#include "runtime/fd_table.hpp"
#include "runtime/io_driver.hpp"
#include "runtime/os_error.hpp"
#include "runtime/readiness.hpp"
#include "runtime/runtime.hpp"
#include "runtime/scheduler.hpp"
#include "runtime/task.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <coroutine>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

namespace rt = cadrel::rt;
namespace flag = cadrel::rt::readiness;
using rt::AbortHandle;
using rt::Direction;
using rt::FdRegistration;
using rt::IoDriver;
using rt::ReadyEvent;
using rt::Runtime;
using rt::RuntimeConfig;
using rt::ScheduledIo;
using rt::Task;
using namespace std::chrono_literals;

/// How long a test watches for something that must not happen.
constexpr auto kQuiet = 100ms;

namespace support = cadrel::test_support;
using support::fd_count;
using support::kBound;
using support::StartHelperThreads;
using support::SuspendForever;
using support::thread_count;
using support::thread_count_settles_to;
using support::wait_until;

// ---- descriptors ---------------------------------------------------------------

using support::send_byte;
using support::SocketPair;
using support::UniqueFd;

UniqueFd new_epoll() {
    UniqueFd epoll(epoll_create1(EPOLL_CLOEXEC));
    if (epoll.get() < 0) rt::throw_last_os_error();
    return epoll;
}

/// Whether `fd` is in the epoll set: EPOLL_CTL_MOD fails with ENOENT otherwise.
int epoll_mod_error(int epoll_fd, int fd) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLOUT | EPOLLET;
    return epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &event) == 0 ? 0 : errno;
}

/// The events epoll has ready right now, without blocking.
std::vector<epoll_event> ready_now(int epoll_fd, int timeout_ms = 0) {
    std::vector<epoll_event> events(64);
    int count = epoll_wait(epoll_fd, events.data(), static_cast<int>(events.size()), timeout_ms);
    events.resize(count < 0 ? 0 : static_cast<std::size_t>(count));
    return events;
}

/// Raises the soft descriptor limit for the life of the object.
class DescriptorLimit {
public:
    explicit DescriptorLimit(rlim_t wanted) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit raised = saved_;
        if (raised.rlim_cur < wanted) raised.rlim_cur = std::min(wanted, raised.rlim_max);
        ok_ = raised.rlim_cur >= wanted && setrlimit(RLIMIT_NOFILE, &raised) == 0;
    }
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;
    bool ok() const noexcept { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
};

// ---- flags from epoll events -----------------------------------------------------

struct FlagRow {
    const char* name;
    std::uint32_t events;
    std::uint64_t flags;
};

class FlagsFromEpoll : public testing::TestWithParam<FlagRow> {};

TEST_P(FlagsFromEpoll, SetsTheFlagsOfItsRow) {
    EXPECT_EQ(flag::flags_from_epoll(GetParam().events), GetParam().flags);
}

// One row per line of the mapping, plus the combinations where "alone" and
// "together with" decide.
INSTANTIATE_TEST_SUITE_P(
    Table, FlagsFromEpoll,
    testing::Values(
        FlagRow{"Nothing", 0, 0},
        FlagRow{"In", EPOLLIN, flag::kReadable},
        FlagRow{"Pri", EPOLLPRI, flag::kReadable | flag::kPriority},
        FlagRow{"Out", EPOLLOUT, flag::kWritable},
        FlagRow{"Hup", EPOLLHUP, flag::kReadClosed | flag::kWriteClosed},
        FlagRow{"InRdhup", EPOLLIN | EPOLLRDHUP, flag::kReadable | flag::kReadClosed},
        FlagRow{"RdhupWithoutIn", EPOLLRDHUP, 0},
        FlagRow{"OutRdhup", EPOLLOUT | EPOLLRDHUP, flag::kWritable},
        FlagRow{"ErrAlone", EPOLLERR, flag::kWriteClosed | flag::kError},
        FlagRow{"OutErr", EPOLLOUT | EPOLLERR, flag::kWritable | flag::kWriteClosed | flag::kError},
        FlagRow{"InErr", EPOLLIN | EPOLLERR, flag::kReadable | flag::kError},
        FlagRow{"ErrRdhup", EPOLLERR | EPOLLRDHUP, flag::kError},
        FlagRow{"HupErr", EPOLLHUP | EPOLLERR, flag::kReadClosed | flag::kWriteClosed | flag::kError},
        FlagRow{"InOut", EPOLLIN | EPOLLOUT, flag::kReadable | flag::kWritable},
        FlagRow{"PeerClosed", EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLHUP,
                flag::kReadable | flag::kWritable | flag::kReadClosed | flag::kWriteClosed},
        FlagRow{"Everything", EPOLLIN | EPOLLPRI | EPOLLOUT | EPOLLERR | EPOLLHUP | EPOLLRDHUP, flag::kFlagMask}),
    [](const testing::TestParamInfo<FlagRow>& info) { return std::string(info.param.name); });

// ---- the readiness record on its own -------------------------------------------------

/// The record's generation, read through a write wait (callers keep write-ready set).
std::uint32_t current_generation(ScheduledIo& io) { return io.poll(Direction::kWrite, std::nullopt)->generation; }

TEST(ReadinessRecord, StartsWithNothingReady) {
    ScheduledIo io;
    EXPECT_FALSE(io.poll(Direction::kRead, std::nullopt));
    EXPECT_FALSE(io.poll(Direction::kWrite, std::nullopt));
}

TEST(ReadinessRecord, EveryReportAdvancesTheGenerationByOne) {
    ScheduledIo io;
    io.set_readiness(EPOLLOUT);
    EXPECT_EQ(current_generation(io), 1u);
    // Even a report that sets no flag counts.
    io.set_readiness(0);
    EXPECT_EQ(current_generation(io), 2u);
    for (int i = 0; i < 1000; ++i) io.set_readiness(EPOLLIN);
    EXPECT_EQ(current_generation(io), 1002u);
    EXPECT_EQ(io.poll(Direction::kRead, std::nullopt)->generation, 1002u);
}

TEST(ReadinessRecord, AWaitIsSatisfiedOnlyByItsOwnDirection) {
    ScheduledIo io;
    io.set_readiness(EPOLLOUT);
    EXPECT_FALSE(io.poll(Direction::kRead, std::nullopt));
    auto write = io.poll(Direction::kWrite, std::nullopt);
    ASSERT_TRUE(write);
    EXPECT_EQ(write->flags, flag::kWritable);
    EXPECT_FALSE(write->shutdown);

    io.set_readiness(EPOLLIN | EPOLLPRI);
    auto read = io.poll(Direction::kRead, std::nullopt);
    ASSERT_TRUE(read);
    // Only the waited direction's flags: priority and write-ready are not its business.
    EXPECT_EQ(read->flags, flag::kReadable);
    EXPECT_EQ(read->generation, 2u);
}

TEST(ReadinessRecord, APendingErrorSatisfiesAReadWaitUntilCleared) {
    ScheduledIo io;
    io.set_readiness(EPOLLOUT | EPOLLERR);
    auto read = io.poll(Direction::kRead, std::nullopt);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->flags, flag::kError);
    io.clear(*read);
    EXPECT_FALSE(io.poll(Direction::kRead, std::nullopt));
    EXPECT_TRUE(io.poll(Direction::kWrite, std::nullopt));
}

TEST(ReadinessRecord, ReportsAccumulateUntilCleared) {
    ScheduledIo io;
    io.set_readiness(EPOLLIN);
    io.set_readiness(EPOLLOUT);
    EXPECT_EQ(io.poll(Direction::kRead, std::nullopt)->flags, flag::kReadable);
    EXPECT_EQ(io.poll(Direction::kWrite, std::nullopt)->flags, flag::kWritable);
}

TEST(ReadinessRecord, ClearWithTheCurrentGenerationRemovesWhatTheWaitSaw) {
    ScheduledIo io;
    io.set_readiness(EPOLLIN | EPOLLOUT);
    auto read = io.poll(Direction::kRead, std::nullopt);
    ASSERT_TRUE(read);
    io.clear(*read);
    EXPECT_FALSE(io.poll(Direction::kRead, read->generation));
    EXPECT_FALSE(io.poll(Direction::kRead, std::nullopt));
    // The other direction's flag was not the read wait's to clear.
    EXPECT_TRUE(io.poll(Direction::kWrite, std::nullopt));
}

TEST(ReadinessRecord, ClearIsIgnoredWhenAReportCameInBetween) {
    ScheduledIo io;
    io.set_readiness(EPOLLIN);
    auto seen = io.poll(Direction::kRead, std::nullopt);
    ASSERT_TRUE(seen);
    io.set_readiness(EPOLLIN);  // new input after the wait looked
    io.clear(*seen);
    auto next = io.poll(Direction::kRead, seen->generation);
    ASSERT_TRUE(next) << "a report that arrived before the clear was lost";
    EXPECT_EQ(next->flags, flag::kReadable);
    EXPECT_EQ(next->generation, seen->generation + 1);
    // Cleared with the fresh generation, it goes.
    io.clear(*next);
    EXPECT_FALSE(io.poll(Direction::kRead, next->generation));
}

TEST(ReadinessRecord, DroppingFlagsForgetsEveryEarlierReportOfThatDirectionOnly) {
    ScheduledIo io;
    io.set_readiness(EPOLLIN | EPOLLERR | EPOLLOUT);
    io.set_readiness(EPOLLIN | EPOLLRDHUP);  // a second report: dropping needs no generation
    const std::uint32_t asked_at = io.drop_flags(Direction::kRead);
    EXPECT_EQ(asked_at, io.poll(Direction::kWrite, std::nullopt)->generation);
    // The final flag stays, satisfying only a waiter that has not asked since it came.
    EXPECT_FALSE(io.poll(Direction::kRead, asked_at));
    EXPECT_EQ(io.poll(Direction::kRead, std::nullopt)->flags, flag::kReadClosed);
    EXPECT_EQ(io.poll(Direction::kWrite, std::nullopt)->flags, flag::kWritable | flag::kWriteClosed);
    // A report after the drop counts again.
    io.set_readiness(EPOLLIN);
    auto next = io.poll(Direction::kRead, asked_at);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->flags, flag::kReadable | flag::kReadClosed);
    EXPECT_EQ(next->generation, asked_at + 1);
}

TEST(ReadinessRecord, FinalFlagsAreNeverCleared) {
    ScheduledIo io;
    io.set_readiness(EPOLLIN | EPOLLRDHUP);
    auto read = io.poll(Direction::kRead, std::nullopt);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->flags, flag::kReadable | flag::kReadClosed);
    io.clear(*read);
    auto after = io.poll(Direction::kRead, std::nullopt);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->flags, flag::kReadClosed);

    io.set_readiness(EPOLLERR);
    auto write = io.poll(Direction::kWrite, std::nullopt);
    ASSERT_TRUE(write);
    EXPECT_EQ(write->flags, flag::kWriteClosed);
    io.clear(*write);
    EXPECT_EQ(io.poll(Direction::kWrite, std::nullopt)->flags, flag::kWriteClosed);
}

TEST(ReadinessRecord, AFinalStateAloneSatisfiesAWaiterOncePerReport) {
    ScheduledIo io;
    io.set_readiness(EPOLLHUP);
    auto first = io.poll(Direction::kRead, std::nullopt);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->flags, flag::kReadClosed);
    io.clear(*first);
    // The waiter that reported this generation waits; one that has not, does not.
    EXPECT_FALSE(io.poll(Direction::kRead, first->generation));
    EXPECT_TRUE(io.poll(Direction::kRead, first->generation - 1));
    EXPECT_TRUE(io.poll(Direction::kRead, std::nullopt));

    // Any new report, of either direction, satisfies it once more.
    io.set_readiness(EPOLLOUT);
    auto second = io.poll(Direction::kRead, first->generation);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->flags, flag::kReadClosed);
    EXPECT_EQ(second->generation, first->generation + 1);
    EXPECT_FALSE(io.poll(Direction::kRead, second->generation));
}

TEST(ReadinessRecord, AReadyFlagBesideAFinalOneSatisfiesEvenTheSameGeneration) {
    ScheduledIo io;
    io.set_readiness(EPOLLIN | EPOLLRDHUP);
    auto seen = io.poll(Direction::kRead, std::nullopt);
    ASSERT_TRUE(seen);
    // Not cleared (say the clear lost a race): the readable flag still counts.
    EXPECT_TRUE(io.poll(Direction::kRead, seen->generation));
}

TEST(ReadinessRecord, ShutdownFailsEveryWait) {
    ScheduledIo io;
    io.set_readiness(EPOLLIN);
    io.shutdown();
    for (Direction direction : {Direction::kRead, Direction::kWrite}) {
        auto event = io.poll(direction, std::nullopt);
        ASSERT_TRUE(event);
        EXPECT_TRUE(event->shutdown);
        EXPECT_TRUE(io.poll(direction, event->generation)->shutdown);
    }
    // A later report does not undo it.
    io.set_readiness(EPOLLOUT);
    EXPECT_TRUE(io.poll(Direction::kWrite, std::nullopt)->shutdown);
}

// ---- registrations in a real epoll set ----------------------------------------------------

// The descriptor table: numbers below the dense limit index a vector,
// others (and invalid ones) a hash map; both behave the same.
struct Numbered {
    std::uint32_t value = 0;  // 0 in a free place
    bool in_use() const noexcept { return value != 0; }
};
using SmallTable = rt::FdTable<Numbered, 1 << 12>;

TEST(DescriptorTable, NumbersOnBothSidesOfTheDenseLimitAreAddedFoundVisitedAndErasedAlike) {
    SmallTable table;
    const int numbers[] = {0, 7, 3000, SmallTable::kDenseLimit - 1, SmallTable::kDenseLimit,
                           SmallTable::kDenseLimit + 5, -1};
    std::uint32_t value = 1;
    for (int fd : numbers) {
        table.reserve(fd);
        EXPECT_EQ(table.find(fd), nullptr) << fd;  // room alone is no entry
        table.add(fd, {value++});
    }
    EXPECT_EQ(table.size(), std::size(numbers));
    value = 1;
    for (int fd : numbers) {  // the vector's growth kept every entry
        ASSERT_NE(table.find(fd), nullptr) << fd;
        EXPECT_EQ(table.find(fd)->value, value++);
    }
    EXPECT_EQ(table.find(6), nullptr);
    table.erase(6);  // no entry: nothing changes

    // A visit sees each entry once, under its own number, and stops at the
    // first call that asks it to.
    std::map<int, std::uint32_t> seen;
    EXPECT_EQ(table.visit_each([&](int fd, const Numbered& entry) {
        seen.emplace(fd, entry.value);
        return 0;
    }), 0);
    ASSERT_EQ(seen.size(), std::size(numbers));
    value = 1;
    for (int fd : numbers) EXPECT_EQ(seen[fd], value++) << fd;
    int calls = 0;
    EXPECT_EQ(table.visit_each([&](int, const Numbered&) { return ++calls == 2 ? 42 : 0; }), 42);
    EXPECT_EQ(calls, 2);

    // Taking hands the entry over; erasing drops it; either leaves the number free.
    value = 1;
    std::size_t left = std::size(numbers);
    for (int fd : numbers) {
        if (value % 2 == 1) {
            EXPECT_EQ(table.take(fd).value, value) << fd;
        } else {
            table.erase(fd);
        }
        ++value;
        EXPECT_EQ(table.find(fd), nullptr) << fd;
        EXPECT_EQ(table.size(), --left) << fd;
        EXPECT_FALSE(table.take(fd).in_use()) << fd;  // nothing left to take
    }
    EXPECT_EQ(table.visit_each([](int, const Numbered&) { return 1; }), 0);
}

class Registrations : public testing::Test {
protected:
    void SetUp() override { fds_before_ = fd_count(); }
    void TearDown() override {
        EXPECT_EQ(driver_.registration_count(), 0u);
        EXPECT_EQ(fd_count(), fds_before_) << "descriptors leaked";
    }

    std::size_t fds_before_ = 0;  // counted with the epoll instance below open
    UniqueFd epoll_ = new_epoll();
    IoDriver driver_{epoll_.get()};
};

TEST_F(Registrations, EdgeEventsOfARegisteredSocketReachItsRecord) {
    SocketPair pair;
    FdRegistration registration = driver_.register_fd(pair.local.get());
    EXPECT_EQ(registration.fd(), pair.local.get());
    EXPECT_EQ(driver_.registration_count(), 1u);

    // Adding a writable socket reports it once, with a token that leads to its record.
    auto events = ready_now(epoll_.get());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_NE(events[0].data.u64, IoDriver::kWakeToken);
    EXPECT_TRUE(events[0].events & EPOLLOUT);
    EXPECT_FALSE(events[0].events & EPOLLIN);
    driver_.dispatch(events[0].data.u64, events[0].events);
    EXPECT_TRUE(registration.io().poll(Direction::kWrite, std::nullopt));
    EXPECT_FALSE(registration.io().poll(Direction::kRead, std::nullopt));
    // Edge-triggered: nothing more until something happens.
    EXPECT_TRUE(ready_now(epoll_.get()).empty());

    send_byte(pair.peer.get());
    events = ready_now(epoll_.get(), 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].events & EPOLLIN);
    driver_.dispatch(events[0].data.u64, events[0].events);
    auto read = registration.io().poll(Direction::kRead, std::nullopt);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->flags, flag::kReadable);
    EXPECT_EQ(read->generation, 2u);
    // The unread byte does not report again.
    EXPECT_TRUE(ready_now(epoll_.get()).empty());
}

TEST_F(Registrations, OneRegistrationIsSharedAndLeavesTheSetWithItsLastHolder) {
    SocketPair pair;
    const int fd = pair.local.get();
    std::optional<FdRegistration> first(driver_.register_fd(fd));
    std::optional<FdRegistration> second(driver_.register_fd(fd));
    EXPECT_EQ(&first->io(), &second->io()) << "the holders of one descriptor share its record";
    EXPECT_EQ(driver_.registration_count(), 1u);

    first.reset();
    EXPECT_EQ(driver_.registration_count(), 1u);
    EXPECT_EQ(epoll_mod_error(epoll_.get(), fd), 0) << "released with a holder left";

    second.reset();
    EXPECT_EQ(driver_.registration_count(), 0u);
    EXPECT_EQ(epoll_mod_error(epoll_.get(), fd), ENOENT) << "still in the epoll set";
    // The descriptor itself is untouched.
    EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC);
}

TEST_F(Registrations, MovingARegistrationKeepsOneHold) {
    SocketPair pair;
    std::optional<FdRegistration> moved;
    {
        FdRegistration original = driver_.register_fd(pair.local.get());
        moved.emplace(std::move(original));
    }
    EXPECT_EQ(epoll_mod_error(epoll_.get(), pair.local.get()), 0);
    moved.reset();
    EXPECT_EQ(epoll_mod_error(epoll_.get(), pair.local.get()), ENOENT);
}

TEST_F(Registrations, JoiningRearmsSoTheNewHolderSeesReadinessThatIsAlreadyThere) {
    SocketPair pair;
    send_byte(pair.peer.get());
    FdRegistration first = driver_.register_fd(pair.local.get());
    ASSERT_EQ(ready_now(epoll_.get()).size(), 1u);
    ASSERT_TRUE(ready_now(epoll_.get()).empty());

    FdRegistration second = driver_.register_fd(pair.local.get());
    auto events = ready_now(epoll_.get());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].events & EPOLLIN);
    EXPECT_TRUE(events[0].events & EPOLLOUT);
    driver_.dispatch(events[0].data.u64, events[0].events);
    EXPECT_TRUE(second.io().poll(Direction::kRead, std::nullopt));
}

TEST_F(Registrations, RefusalsCarryTheKernelsError) {
    struct Case {
        const char* what;
        int fd;
        int code;
    };
    char path[] = "/tmp/cadrel-readiness-XXXXXX";
    UniqueFd file(mkstemp(path));
    ASSERT_GE(file.get(), 0);
    unlink(path);
    for (const Case& refused : {Case{"a closed number", -1, EBADF}, Case{"a regular file", file.get(), EPERM}}) {
        SCOPED_TRACE(refused.what);
        try {
            (void)driver_.register_fd(refused.fd);
            ADD_FAILURE() << "registered";
        } catch (const rt::OsError& error) {
            EXPECT_EQ(error.code(), refused.code);
            EXPECT_EQ(std::string(error.what()), rt::os_error_text(refused.code));
        }
        EXPECT_EQ(driver_.registration_count(), 0u);
    }
    EXPECT_EQ(rt::os_error_text(EBADF), "Bad file descriptor (os error 9)");
}

// The host closes a watched descriptor and the number comes back for a new
// socket while the old registration is still held: joining must add the new
// file, and the old holder's release must not remove it.
TEST_F(Registrations, AReusedNumberIsAddedAgainAndSurvivesItsPredecessorsRelease) {
    auto old_pair = std::make_unique<SocketPair>();
    const int number = old_pair->local.get();
    std::optional<FdRegistration> predecessor(driver_.register_fd(number));
    ASSERT_EQ(ready_now(epoll_.get()).size(), 1u);
    old_pair->local.reset();  // the kernel drops the closed file from the set
    UniqueFd keep_peer = std::move(old_pair->peer);
    old_pair.reset();

    SocketPair reused;
    ASSERT_EQ(reused.local.get(), number) << "the lowest free number was not reused";
    EXPECT_EQ(epoll_mod_error(epoll_.get(), number), ENOENT);

    FdRegistration successor = driver_.register_fd(number);
    EXPECT_EQ(driver_.registration_count(), 1u);
    auto events = ready_now(epoll_.get());
    ASSERT_EQ(events.size(), 1u) << "the new file was not added";
    EXPECT_TRUE(events[0].events & EPOLLOUT);

    predecessor.reset();
    EXPECT_EQ(epoll_mod_error(epoll_.get(), number), 0) << "the predecessor removed its successor's interest";
    send_byte(reused.peer.get());
    events = ready_now(epoll_.get(), 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].events & EPOLLIN);
}

// The same, after the old file had hung up: its final state is not carried
// over to the new file, where it would satisfy every wait on it for good.
TEST_F(Registrations, AReusedNumberForgetsWhatItsEarlierFileReported) {
    auto old_pair = std::make_unique<SocketPair>();
    const int number = old_pair->local.get();
    std::optional<FdRegistration> predecessor(driver_.register_fd(number));
    old_pair->peer.reset();
    for (const epoll_event& event : ready_now(epoll_.get(), 1000)) driver_.dispatch(event.data.u64, event.events);
    ASSERT_TRUE(predecessor->io().poll(Direction::kRead, std::nullopt)) << "the hang-up was not recorded";
    old_pair.reset();

    SocketPair reused;
    ASSERT_EQ(reused.local.get(), number) << "the lowest free number was not reused";
    FdRegistration successor = driver_.register_fd(number);
    EXPECT_FALSE(successor.io().poll(Direction::kRead, std::nullopt)) << "the old file's hang-up was kept";
    for (const epoll_event& event : ready_now(epoll_.get(), 1000)) driver_.dispatch(event.data.u64, event.events);
    EXPECT_TRUE(successor.io().poll(Direction::kWrite, std::nullopt));
    EXPECT_FALSE(successor.io().poll(Direction::kRead, std::nullopt));
    predecessor.reset();
}

// An event already collected from epoll may carry the token of a registration
// whose last holder let go meanwhile: it reaches nothing.
TEST_F(Registrations, AnEventOfAReleasedRegistrationReachesNothing) {
    SocketPair pair;
    std::optional<FdRegistration> registration(driver_.register_fd(pair.local.get()));
    auto events = ready_now(epoll_.get());
    ASSERT_EQ(events.size(), 1u);
    registration.reset();
    driver_.release_pending();
    driver_.dispatch(events[0].data.u64, events[0].events);  // ASan: no use after free

    // Nor does it reach the next registration, which may be given the same slot.
    FdRegistration successor = driver_.register_fd(pair.peer.get());
    driver_.dispatch(events[0].data.u64, events[0].events);
    EXPECT_FALSE(successor.io().poll(Direction::kWrite, std::nullopt));
    driver_.release_pending();
}

// The host closes a watched number while its open file lives on in a dup, and
// lets the registration go: the kernel keeps the entry (EPOLL_CTL_DEL fails
// with EBADF), and it goes on reporting that file. Its events must reach
// neither the freed record nor the registration of a new file that reuses the
// number, and, being edge-triggered, it must not report without a new change.
TEST_F(Registrations, AStaleKernelEntryOfADuplicatedFileReachesNoRecord) {
    for (bool release_first : {true, false}) {
        SCOPED_TRACE(release_first ? "released before the number is reused" : "held while the number is reused");
        SocketPair pair;
        const int number = pair.local.get();
        UniqueFd duplicate(dup(number));
        ASSERT_GE(duplicate.get(), 0);
        std::optional<FdRegistration> watched(driver_.register_fd(number));
        for (const auto& event : ready_now(epoll_.get())) driver_.dispatch(event.data.u64, event.events);

        pair.local.reset();  // the file lives on in `duplicate`: its entry stays in the set
        if (release_first) {
            watched.reset();
            driver_.release_pending();  // the record is freed
        }
        SocketPair reused;
        ASSERT_EQ(reused.local.get(), number) << "the lowest free number was not reused";
        FdRegistration successor = driver_.register_fd(number);
        for (const auto& event : ready_now(epoll_.get())) driver_.dispatch(event.data.u64, event.events);
        ASSERT_FALSE(successor.io().poll(Direction::kRead, std::nullopt));

        send_byte(pair.peer.get());  // input for the old file only
        auto events = ready_now(epoll_.get(), 1000);
        ASSERT_EQ(events.size(), 1u) << "the old file's entry did not report";
        for (const auto& event : events) driver_.dispatch(event.data.u64, event.events);  // ASan: no use after free
        EXPECT_FALSE(successor.io().poll(Direction::kRead, std::nullopt)) << "the old file's input reached the new one";
        if (watched) {
            EXPECT_FALSE(watched->io().poll(Direction::kRead, std::nullopt));
        }
        EXPECT_TRUE(ready_now(epoll_.get(), 50).empty()) << "the stale entry reports without a change";

        send_byte(reused.peer.get());  // the new file still reports to its own record
        for (const auto& event : ready_now(epoll_.get(), 1000)) driver_.dispatch(event.data.u64, event.events);
        EXPECT_TRUE(successor.io().poll(Direction::kRead, std::nullopt));
        watched.reset();
        driver_.release_pending();
    }
}

TEST_F(Registrations, TenThousandDescriptorsComeAndGo) {
    constexpr std::size_t kCount = 10'000;
    DescriptorLimit limit(kCount + fd_count() + 64);
    if (!limit.ok()) GTEST_SKIP() << "the hard descriptor limit is below " << kCount;
    std::vector<UniqueFd> fds;
    std::vector<FdRegistration> registrations;
    fds.reserve(kCount);
    registrations.reserve(kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
        fds.emplace_back(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        ASSERT_GE(fds.back().get(), 0);
        registrations.push_back(driver_.register_fd(fds.back().get()));
    }
    EXPECT_EQ(driver_.registration_count(), kCount);
    const int sample = fds[kCount / 2].get();
    EXPECT_EQ(epoll_mod_error(epoll_.get(), sample), 0);
    registrations.clear();
    EXPECT_EQ(driver_.registration_count(), 0u);
    EXPECT_EQ(epoll_mod_error(epoll_.get(), sample), ENOENT);
    driver_.release_pending();
}

// The thread holding the wait looks slots up without the lock while another
// registers and releases: the table grows across several of its segments and
// freed slots are given out again under new generations meanwhile.
TEST_F(Registrations, EventsReachTheirRecordsWhileAnotherThreadRegistersAndReleases) {
    constexpr std::size_t kCount = 1'500;  // slots in five segments (64 + 128 + 256 + 512 + 1024)
    DescriptorLimit limit(kCount + fd_count() + 64);
    if (!limit.ok()) GTEST_SKIP() << "the hard descriptor limit is below " << kCount;
    struct Watched {
        UniqueFd fd;
        FdRegistration registration;
    };
    std::vector<Watched> kept;
    kept.reserve(kCount);
    std::atomic<bool> registering{true};
    std::thread registrar([&] {
        for (std::size_t i = 0; i < kCount; ++i) {
            // Readable from the start: its registration is reported at once.
            UniqueFd fd(eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC));
            FdRegistration registration = driver_.register_fd(fd.get());
            if (i % 3 == 2) continue;  // released at once (then closed): its slot is given out again
            kept.push_back(Watched{std::move(fd), std::move(registration)});
        }
        registering.store(false, std::memory_order_release);
    });
    std::size_t dispatched = 0;
    for (bool done = false; !done;) {
        const bool finished = !registering.load(std::memory_order_acquire);
        driver_.release_pending();
        const auto events = ready_now(epoll_.get(), finished ? 0 : 1);
        for (const auto& event : events) driver_.dispatch(event.data.u64, event.events);
        dispatched += events.size();
        done = finished && events.empty();  // every registration made has been reported
    }
    registrar.join();
    EXPECT_GE(dispatched, kept.size());
    for (const Watched& watched : kept)
        ASSERT_TRUE(watched.registration.io().poll(Direction::kRead, std::nullopt)) << "fd " << watched.fd.get();
    kept.clear();
    driver_.release_pending();
}

TEST_F(Registrations, ShutdownFailsWaitsAndRefusesNewRegistrations) {
    SocketPair pair;
    FdRegistration registration = driver_.register_fd(pair.local.get());
    driver_.shutdown();
    EXPECT_TRUE(registration.io().poll(Direction::kRead, std::nullopt)->shutdown);
    EXPECT_THROW((void)driver_.register_fd(pair.peer.get()), std::runtime_error);
    EXPECT_EQ(driver_.registration_count(), 1u);
}

// ---- tasks on a runtime --------------------------------------------------------------------

/// Yields the running task's core without suspending.
struct CurrentCore {
    rt::TaskCore* core = nullptr;
    bool await_ready() const noexcept { return false; }
    bool await_suspend(Task::Handle handle) noexcept {
        core = handle.promise().core;
        return false;
    }
    rt::TaskCore* await_resume() const noexcept { return core; }
};

/// What one waiting task saw, shared with the test thread.
class WaitLog {
public:
    void push(const ReadyEvent& event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    std::size_t size() {
        std::lock_guard lock(mutex_);
        return events_.size();
    }
    ReadyEvent at(std::size_t index) {
        std::lock_guard lock(mutex_);
        return events_.at(index);
    }

    std::atomic<bool> waiting{false};        // reached its first wait
    std::atomic<bool> shut_down{false};      // a wait failed
    std::atomic<bool> frame_gone{false};     // the frame was destroyed
    std::atomic<rt::TaskCore*> core{nullptr};
    std::atomic<IoDriver*> driver{nullptr};  // the runtime's, for counting registrations

private:
    std::mutex mutex_;
    std::vector<ReadyEvent> events_;
};

/// Marks the log when the frame that holds it is destroyed.
class FrameGuard {
public:
    explicit FrameGuard(WaitLog* log) noexcept : log_(log) {}
    FrameGuard(FrameGuard&& other) noexcept : log_(std::exchange(other.log_, nullptr)) {}
    FrameGuard& operator=(FrameGuard&&) = delete;
    ~FrameGuard() {
        if (log_) log_->frame_gone.store(true);
    }

private:
    WaitLog* log_;
};

/// Where a waiting task waits: a record of its own, or a descriptor that it
/// registers in its runtime's epoll set.
struct WaitSource {
    ScheduledIo* record = nullptr;
    int fd = -1;
};

/// The watcher's pattern: (register,) wait, log, clear, repeat; ends when a wait fails.
Task watch(WaitSource source, Direction direction, WaitLog* log, [[maybe_unused]] FrameGuard guard) {
    log->core.store(co_await CurrentCore{});
    std::optional<FdRegistration> registration;
    ScheduledIo* io = source.record;
    if (io == nullptr) {
        rt::Scheduler& scheduler = co_await rt::CurrentScheduler{};
        log->driver.store(&scheduler.driver().io());
        registration.emplace(scheduler.driver().io().register_fd(source.fd));
        io = &registration->io();
    }
    std::optional<std::uint32_t> reported;
    for (;;) {
        log->waiting.store(true);
        std::optional<ReadyEvent> event;
        while (!event) event = co_await rt::ReadinessWait(*io, direction, reported);
        if (event->shutdown) {
            log->shut_down.store(true);
            co_return;
        }
        log->push(*event);
        io->clear(*event);
        reported = event->generation;
    }
}

/// A task that has handed a report on and waits for news: it logs what each
/// report after the last one it saw left for `direction` (no flags for a
/// nudge), then takes those flags in; ends when the record shuts down.
Task wait_for_news(ScheduledIo* io, Direction direction, WaitLog* log, [[maybe_unused]] FrameGuard guard) {
    std::uint32_t seen = io->drop_flags(direction);
    for (;;) {
        log->waiting.store(true);
        while (!co_await rt::ReportAfter(*io, direction, seen)) {
        }
        const std::optional<ReadyEvent> event = io->poll(direction, std::nullopt);
        if (event && event->shutdown) {
            log->shut_down.store(true);
            co_return;
        }
        log->waiting.store(false);  // set again once the next wait's generation is taken
        log->push(event.value_or(ReadyEvent{}));
        seen = io->drop_flags(direction);
    }
}

class ReadinessRuntime : public testing::TestWithParam<std::size_t> {
protected:
    void SetUp() override {
        threads_before_ = thread_count();
        fds_before_ = fd_count();
    }
    void TearDown() override {
        EXPECT_TRUE(thread_count_settles_to(threads_before_)) << "threads leaked";
        EXPECT_EQ(fd_count(), fds_before_) << "descriptors leaked";
    }
    RuntimeConfig config() const {
        RuntimeConfig config;
        config.worker_threads = GetParam();
        return config;
    }

    std::size_t threads_before_ = 0;
    std::size_t fds_before_ = 0;
};

/// Starts and joins one thread before any test counts threads (see StartHelperThreads).
[[maybe_unused]] testing::Environment* const g_start_helper_threads =
    testing::AddGlobalTestEnvironment(new StartHelperThreads);

INSTANTIATE_TEST_SUITE_P(Shapes, ReadinessRuntime, testing::Values<std::size_t>(1, 4),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                             return "Workers" + std::to_string(info.param);
                         });

// ---- waiting tasks ----------------------------------------------------------------------------

TEST_P(ReadinessRuntime, ATaskWakesWhenAByteArrivesFromAnotherThread) {
    SocketPair pair;
    WaitLog log;
    Runtime runtime(config());
    (void)runtime.handle().spawn(watch({nullptr, pair.local.get()}, Direction::kRead, &log, FrameGuard(&log)));
    wait_until("the first wait", [&] { return log.waiting.load(); });
    // Writable, but not readable: the read wait goes on.
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(log.size(), 0u);

    std::thread([&] { send_byte(pair.peer.get()); }).join();
    wait_until("the wake after the byte", [&] { return log.size() == 1; });
    EXPECT_EQ(log.at(0).flags, flag::kReadable);
    // The byte stays unread; without a new kernel event there is no second pass.
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(log.size(), 1u);

    std::thread([&] { send_byte(pair.peer.get()); }).join();
    wait_until("the wake after the second byte", [&] { return log.size() == 2; });
    EXPECT_GT(log.at(1).generation, log.at(0).generation);
    EXPECT_EQ(log.driver.load()->registration_count(), 1u);
}

TEST_P(ReadinessRuntime, CancellingAWaitingTaskDestroysItsFrameAndReleasesItsRegistration) {
    SocketPair pair;
    WaitLog log;
    Runtime runtime(config());
    AbortHandle handle =
        runtime.handle().spawn(watch({nullptr, pair.local.get()}, Direction::kRead, &log, FrameGuard(&log)));
    wait_until("the first wait", [&] { return log.waiting.load(); });
    IoDriver& driver = *log.driver.load();
    EXPECT_EQ(driver.registration_count(), 1u);

    handle.abort();
    wait_until("the cancelled task's end", [&] { return handle.is_finished(); });
    EXPECT_TRUE(log.frame_gone.load());
    EXPECT_EQ(driver.registration_count(), 0u);
    // Input for the released descriptor reaches nobody.
    send_byte(pair.peer.get());
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(log.size(), 0u);
}

// Two tasks parked in one direction of one record (a replaced watcher and its
// successor): withdrawing one leaves the other parked.
TEST_P(ReadinessRuntime, AWaitForNewsWakesForItsDirectionsReportsAndNudgesOnly) {
    ScheduledIo io;
    io.set_readiness(EPOLLIN);  // seen already: taken in before the first wait
    WaitLog log;
    Runtime runtime(config());
    (void)runtime.handle().spawn(wait_for_news(&io, Direction::kRead, &log, FrameGuard(&log)));
    wait_until("the first wait", [&] { return log.waiting.load(); });
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(log.size(), 0u) << "a report from before the wait is no news";

    io.set_readiness(EPOLLOUT);  // news, but none for a reader
    io.nudge(Direction::kWrite);
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(log.size(), 0u);

    io.set_readiness(EPOLLIN);
    wait_until("the wake for input", [&] { return log.size() == 1 && log.waiting.load(); });
    EXPECT_EQ(log.at(0).flags, flag::kReadable);

    io.nudge(Direction::kRead);  // no flags, still a wake
    wait_until("the wake for the nudge", [&] { return log.size() == 2; });
    EXPECT_EQ(log.at(1).flags, 0u);
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(log.size(), 2u) << "one wake per report";

    io.shutdown();
    wait_until("the end at shutdown", [&] { return log.shut_down.load(); });
}

TEST_P(ReadinessRuntime, UnparkingOneTaskKeepsTheOtherParked) {
    ScheduledIo io;
    WaitLog cancelled_log;
    WaitLog kept_log;
    Runtime runtime(config());
    AbortHandle cancelled =
        runtime.handle().spawn(watch({&io, -1}, Direction::kRead, &cancelled_log, FrameGuard(&cancelled_log)));
    AbortHandle kept = runtime.handle().spawn(watch({&io, -1}, Direction::kRead, &kept_log, FrameGuard(&kept_log)));
    wait_until("both waits", [&] { return cancelled_log.waiting.load() && kept_log.waiting.load(); });
    std::this_thread::sleep_for(10ms);  // let both park

    cancelled.abort();
    wait_until("the cancelled task's end", [&] { return cancelled.is_finished(); });
    io.set_readiness(EPOLLIN);
    wait_until("the kept task's wake", [&] { return kept_log.size() == 1; });
    EXPECT_EQ(cancelled_log.size(), 0u);
    EXPECT_FALSE(kept.is_finished());
}

TEST_P(ReadinessRuntime, UnparkWithdrawsOnlyThatTasksWakerInThatDirection) {
    ScheduledIo io;
    WaitLog reader_log;
    WaitLog writer_log;
    Runtime runtime(config());
    (void)runtime.handle().spawn(watch({&io, -1}, Direction::kRead, &reader_log, FrameGuard(&reader_log)));
    (void)runtime.handle().spawn(watch({&io, -1}, Direction::kWrite, &writer_log, FrameGuard(&writer_log)));
    wait_until("both waits", [&] { return reader_log.waiting.load() && writer_log.waiting.load(); });
    std::this_thread::sleep_for(10ms);

    // The writer's task has no reader waker; the reader's task no writer waker.
    io.unpark(Direction::kRead, writer_log.core.load());
    io.unpark(Direction::kWrite, reader_log.core.load());
    io.set_readiness(EPOLLOUT);
    wait_until("the writer's wake", [&] { return writer_log.size() == 1; });
    // A report for the other direction does not satisfy the reader.
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(reader_log.size(), 0u);
    io.set_readiness(EPOLLIN);
    wait_until("the reader's wake", [&] { return reader_log.size() == 1; });
}

// Two tasks parked in each direction: the second of each waits in one list
// that both directions share. A report of one direction leaves the other's
// tasks parked, and a task withdrawn from the list takes no other with it.
TEST_P(ReadinessRuntime, WaitersBeyondTheFirstOfEachDirectionShareOneListAndNoneIsLost) {
    ScheduledIo io;
    WaitLog readers[2];
    WaitLog writers[2];
    Runtime runtime(config());
    for (WaitLog& log : readers) (void)runtime.handle().spawn(watch({&io, -1}, Direction::kRead, &log, FrameGuard(&log)));
    (void)runtime.handle().spawn(watch({&io, -1}, Direction::kWrite, &writers[0], FrameGuard(&writers[0])));
    AbortHandle withdrawn = runtime.handle().spawn(watch({&io, -1}, Direction::kWrite, &writers[1], FrameGuard(&writers[1])));
    wait_until("every wait", [&] {
        return readers[0].waiting.load() && readers[1].waiting.load() && writers[0].waiting.load() &&
               writers[1].waiting.load();
    });
    std::this_thread::sleep_for(10ms);  // let all four park

    withdrawn.abort();
    wait_until("the withdrawn task's end", [&] { return withdrawn.is_finished(); });
    io.set_readiness(EPOLLOUT);
    wait_until("the remaining writer's wake", [&] { return writers[0].size() == 1; });
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(writers[1].size(), 0u);
    EXPECT_EQ(readers[0].size() + readers[1].size(), 0u);
    // A hang-up beside the data: the end of input is never cleared, so each
    // reader sees the report whichever clears the data first.
    io.set_readiness(EPOLLIN | EPOLLRDHUP);
    wait_until("both readers' wakes", [&] { return readers[0].size() == 1 && readers[1].size() == 1; });
    EXPECT_EQ(writers[1].size(), 0u);
}

TEST_P(ReadinessRuntime, ShutdownOfTheReadinessServiceFailsParkedWaits) {
    UniqueFd epoll = new_epoll();
    IoDriver driver(epoll.get());
    SocketPair pair;
    FdRegistration registration = driver.register_fd(pair.local.get());
    WaitLog log;
    Runtime runtime(config());
    AbortHandle handle =
        runtime.handle().spawn(watch({&registration.io(), -1}, Direction::kRead, &log, FrameGuard(&log)));
    wait_until("the first wait", [&] { return log.waiting.load(); });
    std::this_thread::sleep_for(10ms);

    driver.shutdown();
    wait_until("the failed wait", [&] { return log.shut_down.load(); });
    wait_until("the task's end", [&] { return handle.is_finished(); });
    EXPECT_EQ(log.size(), 0u);
}

// The peer hangs up: the read side is closed for good. The waiting task makes
// one pass per kernel report instead of spinning, and cancellation still ends it.
TEST_P(ReadinessRuntime, AHungUpDescriptorGivesOnePassPerReport) {
    SocketPair pair;
    WaitLog log;
    Runtime runtime(config());
    AbortHandle handle =
        runtime.handle().spawn(watch({nullptr, pair.local.get()}, Direction::kRead, &log, FrameGuard(&log)));
    wait_until("the first wait", [&] { return log.waiting.load(); });

    pair.peer.reset();
    wait_until("the pass for the hang-up", [&] { return log.size() >= 1; });
    EXPECT_TRUE(log.at(0).flags & flag::kReadClosed);
    // The close can wake the socket's wait queue more than once, and a wait
    // that collects between the wake-ups makes two reports of it (seen under
    // load): one pass per report, and then none.
    std::this_thread::sleep_for(kQuiet);
    const std::size_t passes = log.size();
    EXPECT_LE(passes, 2u);
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(log.size(), passes) << "the watcher of a hung-up descriptor spins";

    // A re-arm is a new kernel report, and gives exactly one more pass.
    {
        FdRegistration joined = log.driver.load()->register_fd(pair.local.get());
        wait_until("the pass for the re-arm", [&] { return log.size() >= passes + 1; });
        std::this_thread::sleep_for(kQuiet);
        EXPECT_EQ(log.size(), passes + 1);
        EXPECT_TRUE(log.at(passes).flags & flag::kReadClosed);
    }

    handle.abort();
    wait_until("the cancelled task's end", [&] { return handle.is_finished(); });
    EXPECT_TRUE(log.frame_gone.load());
}

// Cancellation races a report: whichever wins, nothing is woken twice,
// freed, or leaked (the sanitizer builds watch the rest).
TEST_P(ReadinessRuntime, CancellationRacingAReportIsSafe) {
    constexpr int kRounds = 200;
    Runtime runtime(config());
    for (int round = 0; round < kRounds; ++round) {
        ScheduledIo io;
        WaitLog log;
        AbortHandle handle = runtime.handle().spawn(watch({&io, -1}, Direction::kRead, &log, FrameGuard(&log)));
        wait_until("the first wait", [&] { return log.waiting.load(); });
        std::thread reporter([&io] { io.set_readiness(EPOLLIN); });
        handle.abort();
        reporter.join();
        wait_until("the cancelled task's end", [&] { return handle.is_finished(); });
        EXPECT_TRUE(log.frame_gone.load());
    }
}

}  // namespace
