#include "TavelinHelper/front/HelperListenerDelegate.h"

#include <string>
#include <string_view>

#include "TavelinHelper/front/ClientAuthorization.h"
#include "TavelinHelper/front/HelperService.h"

namespace tavelin {

namespace {

std::string_view closingReason(ConnectionEnd end) {
    switch (end) {
        case ConnectionEnd::bytesBeforeHello:
            return "Daten vor dem HELLO";
        case ConnectionEnd::foreignSender:
            return "Daten eines fremden Prozesses";
        case ConnectionEnd::protocolError:
            return "Protokollverletzung";
        case ConnectionEnd::frameTimeout:
            return "Frame unvollst\u00e4ndig nach 10 s";
        case ConnectionEnd::programChanged:
            return "anderes Programm als bei der Zulassung";
        case ConnectionEnd::closedByPeer:
        case ConnectionEnd::transportError:
            break;
    }
    return {};
}

}  // namespace

std::unique_ptr<ConnectionService> HelperListenerDelegate::shouldAcceptNewConnection(
    MonitoredPeer* peer, LogPeer client) {
    // admitClient writes the code's line itself; ours follows it, with the same reason.
    const ClientVerdict verdict = admitClient(peer, verified_, log_, client);
    if (verdict.code != clientVerified) {
        client.refusal = verdict.reason;
        log_.log(LogPriority::error,
                 "[TavelinHelper] Verbindung ABGELEHNT (Signaturpr\u00fcfung fehlgeschlagen, pid=" +
                     std::to_string(client.pid) + ")",
                 client);
        return nullptr;
    }
    return std::make_unique<HelperService>(monitor_, peer->handle());
}

void HelperListenerDelegate::connectionEnded(LogPeer client, ConnectionEnd end) {
    const std::string_view reason = closingReason(end);
    if (reason.empty()) {
        return;
    }
    log_.log(LogPriority::error,
             "[TavelinHelper] Verbindung geschlossen (" + std::string(reason) +
                 ", pid=" + std::to_string(client.pid) + ")",
             client);
}

}  // namespace tavelin
