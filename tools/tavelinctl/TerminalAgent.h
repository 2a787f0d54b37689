#pragma once

#include <sys/types.h>

#include <chrono>

namespace tavelin::tavelinctl {

// polkit's text authentication agent (pkttyagent), registered for this very process: when
// the daemon's authorization check needs a password, the terminal asks for it. Only
// outside a graphical session, whose own agent asks there. Ended when destroyed.
class TerminalAgent {
  public:
    static constexpr const char* agentPath = "/usr/bin/pkttyagent";
    // How long the agent may take to register before the call goes on without it.
    static constexpr std::chrono::seconds registrationDeadline{3};

    // Starts the agent when standard input and error are a terminal, neither DISPLAY nor
    // WAYLAND_DISPLAY is set and the agent is installed; otherwise (or when it cannot
    // start) there is simply none.
    TerminalAgent();
    TerminalAgent(const TerminalAgent&) = delete;
    TerminalAgent& operator=(const TerminalAgent&) = delete;
    ~TerminalAgent();

    [[nodiscard]] bool running() const noexcept { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
};

}  // namespace tavelin::tavelinctl
