#include "python/update_session.hpp"

#include <nanobind/nanobind.h>

#include <functional>
#include <utility>

#include "python/errors.hpp"
#include "python/method.hpp"

namespace vexlo::py {

namespace nb = nanobind;

UpdateSession::UpdateSession(FitsUpdater updater) : updater_(std::make_unique<Updater>()) {
    updater_->updater = std::move(updater);
}

UpdateSession::Operation UpdateSession::operation(Gil gil) {
    Operation op;
    op.session_ = this;
    op.lock_ = lock_mutex(operation_, gil);
    return op;
}

UpdateSession::Operation lock_operation(UpdateSession* session) {
    if (session == nullptr) return {};
    return session->operation();
}

OperationPair lock_operations(UpdateSession* first, UpdateSession* second) {
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

UpdateSession::Turn UpdateSession::Operation::writer_turn(Gil gil) const {
    ensure(session_ != nullptr && session_->updating(), "writer turn outside update mode");
    FileIdentity file;
    {
        const UpdaterAccess up = updater(gil);
        file = up->identity;
    }
    Turn turn;
    turn.session_ = session_;
    if (gil == Gil::Held) {
        nb::gil_scoped_release release;
        turn.turn_ = wait_for_turn(file);
    } else {
        turn.turn_ = wait_for_turn(file);
    }
    return turn;
}

UpdateSession::UpdaterAccess UpdateSession::Operation::updater(Gil gil) const {
    ensure(session_ != nullptr && session_->updating(), "updater outside update mode");
    return UpdaterAccess(*session_, gil);
}

UpdateSession::UpdaterAccess UpdateSession::Turn::updater(Gil gil) const {
    return UpdaterAccess(*session_, gil);
}

UpdateSession::UpdaterAccess::UpdaterAccess(UpdateSession& session, Gil gil)
    : lock_(lock_mutex(session.updater_->mutex, gil)), updater_(&session.updater_->updater) {}

}  // namespace vexlo::py
