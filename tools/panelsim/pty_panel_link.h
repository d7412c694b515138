#pragma once
// A simulated serial panel on a pseudo-terminal. The driver opens the slave
// side (by its path, or by the COM symlink this link makes in a directory
// the driver knows as VORN_COM_DIR); the simulator holds the master.
//
// Whether the driver has the line open is read from the master: while no
// slave is open the master reports a hang-up. Then the master is not
// watched (a hung-up master is always ready, and watching it would spin);
// instead the link looks again every kProbePeriod through its timer.
// See PanelLink for the threading.

#include <memory>

#include "panel_link.h"

namespace vorn::sim {

class PtyPanelLink : public PanelLink {
public:
    static constexpr std::chrono::milliseconds kProbePeriod{100};

    // Makes the pseudo-terminal, sets the line raw (no echo, no character
    // processing) and, when linkName is not empty, the symlink
    // linkDir/linkName to its slave (linkDir "" means $VORN_COM_DIR, else
    // /dev/vorn; the directory is made when missing). An existing symlink
    // of that name is replaced; any other file is left alone and is an
    // error. nullptr with the reason in error on failure.
    static std::unique_ptr<PtyPanelLink> Open(const std::string& linkName, const std::string& linkDir,
                                              std::string& error);

    ~PtyPanelLink() override;

    std::string_view Kind() const override { return "pty"; }
    std::string Where() const override;
    bool Connected() const override { return connected_; }
    void AddPollFds(std::vector<pollfd>& fds) const override;
    void OnReady(int fd, short revents) override;
    Clock::time_point NextTimer() const override;
    void OnTimer(Clock::time_point now) override;
    bool Send(std::span<const uint8_t> bytes, std::string& error) override;
    // Hangs up the line while the driver has it open: a new pseudo-terminal
    // takes the old one's place under the same COM link (the slave path
    // changes), then the old master is closed, so the driver's descriptor
    // sees the hang-up and opening the COM link again finds the new line.
    // Without a COM link the new line is known only by its new path.
    bool Drop(std::string& error) override;
    // Closes the master and removes the symlink if it still points here.
    void Close() override;

    const std::string& SlavePath() const { return slavePath_; }
    const std::string& LinkPath() const { return linkPath_; }

private:
    PtyPanelLink(int master, std::string slavePath) : master_(master), slavePath_(std::move(slavePath)) {}
    // Looks at the master without waiting and updates connected_.
    void Probe(Clock::time_point now);
    void SetConnected(bool connected, std::string_view why);

    int master_ = -1;
    std::string slavePath_;
    std::string linkPath_;  // "" without symlink
    bool connected_ = false;
    Clock::time_point lastProbe_{};
};

}  // namespace vorn::sim
