#include "TavelinHelper/front/FrontBudget.h"

namespace tavelin {

bool FrontBudget::hasRoomToAccept() const noexcept {
    return connections_ < limits_.maxConnections && admissions_ < limits_.maxAdmissionsInFlight;
}

bool FrontBudget::takeConnection(uid_t uid) {
    // One user may not take every slot: over its own limit a connection is refused.
    const Usage* usage = usageOf(uid);
    if (usage != nullptr && usage->connections >= limits_.maxConnectionsPerUser) {
        return false;
    }
    ++users_[uid].connections;
    ++connections_;
    return true;
}

void FrontBudget::releaseConnection(uid_t uid) noexcept {
    if (const auto found = users_.find(uid); found != users_.end()) {
        --found->second.connections;
        --connections_;
        forgetIfIdle(uid);
    }
}

bool FrontBudget::hasOperationSlot() const noexcept {
    return operations_ < limits_.maxOperationsInFlight;
}

bool FrontBudget::takeOperation(uid_t uid) {
    const Usage* usage = usageOf(uid);
    if (!hasOperationSlot() ||
        (usage != nullptr && usage->operations >= limits_.maxOperationsInFlightPerUser)) {
        return false;
    }
    ++users_[uid].operations;
    ++operations_;
    return true;
}

void FrontBudget::releaseOperation(uid_t uid) noexcept {
    if (const auto found = users_.find(uid); found != users_.end()) {
        --found->second.operations;
        --operations_;
        forgetIfIdle(uid);
    }
}

void FrontBudget::recharge(uid_t uid, std::size_t before, std::size_t now) {
    if (before == now) {
        return;
    }
    Usage& usage = users_[uid];
    usage.bufferedBytes = usage.bufferedBytes - before + now;
    bufferedBytes_ = bufferedBytes_ - before + now;
    forgetIfIdle(uid);
}

bool FrontBudget::allowsReading(uid_t uid) const noexcept {
    const Usage* usage = usageOf(uid);
    const std::size_t mine = usage == nullptr ? 0 : usage->bufferedBytes;
    return bufferedBytes_ + front::receiveChunkSize <= limits_.maxBufferedBytes &&
           mine + front::receiveChunkSize <= limits_.maxBufferedBytesPerUser;
}

const FrontBudget::Usage* FrontBudget::usageOf(uid_t uid) const noexcept {
    const auto found = users_.find(uid);
    return found == users_.end() ? nullptr : &found->second;
}

void FrontBudget::forgetIfIdle(uid_t uid) noexcept {
    const auto found = users_.find(uid);
    if (found != users_.end() && found->second.connections == 0 && found->second.operations == 0 &&
        found->second.bufferedBytes == 0) {
        users_.erase(found);
    }
}

}  // namespace tavelin
