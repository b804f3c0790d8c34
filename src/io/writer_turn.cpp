#include "io/writer_turn.hpp"

#include <map>

#include "util/try.hpp"

namespace vexlo {

std::shared_ptr<WriterMutex> writer_mutex(FileIdentity id) {
    static std::mutex registry_mutex;
    static std::map<FileIdentity, std::weak_ptr<WriterMutex>> registry;
    std::lock_guard<std::mutex> guard(registry_mutex);
    std::weak_ptr<WriterMutex>& entry = registry[id];
    std::shared_ptr<WriterMutex> mutex = entry.lock();
    if (mutex) return mutex;
    // Entries of files nobody holds any more go, so the table stays as small as the number
    // of files being written at once.
    std::erase_if(registry, [](const auto& kv) { return kv.second.expired(); });
    mutex = std::make_shared<WriterMutex>();
    registry[id] = mutex;
    return mutex;
}

WriterTurn wait_for_turn(FileIdentity id) {
    return WriterTurn(writer_mutex(id));
}

Result<WriterTurn> wait_for_turn_at(const std::string& path) {
    for (;;) {
        VEXLO_ASSIGN_OR_RETURN(const std::optional<FileIdentity> id, path_identity(path));
        if (!id) return WriterTurn{};
        WriterTurn turn = wait_for_turn(*id);
        VEXLO_ASSIGN_OR_RETURN(const std::optional<FileIdentity> now, path_identity(path));
        if (now == id) return turn;
    }
}

}  // namespace vexlo
