#include "python/file_session.hpp"

#include <nanobind/nanobind.h>

#include <functional>
#include <type_traits>
#include <utility>

#include "python/errors.hpp"
#include "python/method.hpp"

namespace vexlo::py {

namespace nb = nanobind;

FileSession::FileSession(FitsUpdater updater) : updater_(std::move(updater)) {}

FileSession::Operation FileSession::operation(Gil gil) {
    Operation op;
    op.session_ = this;
    op.lock_ = lock_mutex(operation_, gil);
    return op;
}

FileSession::Operation lock_operation(FileSession* session) {
    if (session == nullptr) return {};
    return session->operation();
}

OperationPair lock_operations(FileSession* first, FileSession* second) {
    OperationPair ops;
    if (second == first) second = nullptr;
    if (first != nullptr && second != nullptr && std::less<>{}(second, first)) {
        ops.second = second->operation();
        ops.first = first->operation();
    } else {
        ops.first = lock_operation(first);
        ops.second = lock_operation(second);
    }
    return ops;
}

WriterTurn writer_turn_at(const std::string& path) {
    return unwrap(without_gil([&] { return wait_for_turn_at(path); }));
}

template <class Above>
FileSession::UpdaterAccess<Above>::UpdaterAccess(Above&& above, Gil gil)
    : above_(std::move(above)) {
    FileSession* session = above_.session();
    ensure(session != nullptr && session->updating(), "updater outside update mode");
    lock_ = lock_mutex(session->updater_mutex_, gil);
}

FileSession::Turn FileSession::Operation::writer_turn(Gil gil) && {
    ensure(session_ != nullptr && session_->updating(), "writer turn outside update mode");
    FileSession& session = *session_;
    FileIdentity file;
    {
        // The updater is locked only to read whose file it has open, and unlocked before the
        // turn is waited for.
        const std::unique_lock lock = lock_mutex(session.updater_mutex_, gil);
        file = session.updater_->identity;
    }
    Turn turn;
    turn.operation_ = std::move(*this);
    if (gil == Gil::Held) {
        nb::gil_scoped_release release;
        turn.turn_ = wait_for_turn(file);
    } else {
        turn.turn_ = wait_for_turn(file);
    }
    return turn;
}

FileSession::UpdaterAccess<FileSession::Operation> FileSession::Operation::updater(Gil gil) && {
    return {std::move(*this), gil};
}

FileSession::UpdaterAccess<FileSession::Turn> FileSession::Turn::updater(Gil gil) && {
    return {std::move(*this), gil};
}

FileSession::Operation FileSession::Turn::release() && {
    turn_ = WriterTurn();
    return std::move(operation_);
}

Lent<FileSession::Operation, FileSession::Turn> lend_writer_turn(FileSession::Operation& op,
                                                                 FileSession::Gil gil) {
    return {op, std::move(op).writer_turn(gil)};
}

namespace {

// The order is kept by the types: a guard goes down only by giving itself up (an lvalue
// cannot go down, so the guard above is never at hand below it), nothing below the operation
// goes up or sideways, guards are never copied, and only the guard above makes one below.
using Operation = FileSession::Operation;
using Turn = FileSession::Turn;
using OperationUpdater = FileSession::UpdaterAccess<Operation>;
using TurnUpdater = FileSession::UpdaterAccess<Turn>;

template <class G>
concept TakesTurnFromLvalue = requires(G& g) {
    g.writer_turn();
};
template <class G>
concept TakesUpdaterFromLvalue = requires(G& g) {
    g.updater();
};
template <class G>
concept TakesTurn = requires(G g) {
    std::move(g).writer_turn();
};
template <class G>
concept TakesUpdater = requires(G g) {
    std::move(g).updater();
};

static_assert(TakesTurn<Operation> && TakesUpdater<Operation> && TakesUpdater<Turn>);
static_assert(!TakesTurnFromLvalue<Operation> && !TakesUpdaterFromLvalue<Operation>);
static_assert(!TakesUpdaterFromLvalue<Turn>);
static_assert(!TakesTurn<const Operation> && !TakesUpdater<const Operation>);
static_assert(!TakesTurn<Turn> && !TakesTurn<OperationUpdater> && !TakesTurn<TurnUpdater>);
static_assert(!TakesUpdater<OperationUpdater> && !TakesUpdater<TurnUpdater>);
static_assert(!std::is_copy_constructible_v<Operation> && !std::is_copy_constructible_v<Turn> &&
              !std::is_copy_constructible_v<OperationUpdater> &&
              !std::is_copy_constructible_v<TurnUpdater>);
static_assert(!std::is_default_constructible_v<Turn> && !std::is_constructible_v<Turn, Operation>);
static_assert(!std::is_default_constructible_v<TurnUpdater> &&
              !std::is_constructible_v<TurnUpdater, Turn, FileSession::Gil>);
static_assert(!std::is_copy_constructible_v<Lent<Operation, Turn>>);

}  // namespace

}  // namespace vexlo::py
