// Streaming source of one generated log file: produces its text in buffer-sized pieces.
#ifndef LOGGEN_STATION_TEXT_H
#define LOGGEN_STATION_TEXT_H

#include <cstddef>
#include <cstdint>

#include "tools/loggen/station_log_gen.h"
#include "tools/loggen/text_out.h"

namespace loggen {

class StationText {
  public:
    // Longest line any emitter writes; Read needs at least this much room.
    static constexpr size_t kMaxLine = 2048;

    // `dayStart` is the UTC epoch second at which the file's day begins.
    StationText(LogKind kind, int64_t dayStart, uint64_t totalBytes, uint64_t seed);

    // Appends the next whole lines (the very last one cut to the total size and closed with a
    // newline) into buf; returns the bytes written, 0 at the end. cap must be >= kMaxLine.
    size_t Read(char* buf, size_t cap);
    bool Done() const { return produced_ >= total_; }

  private:
    struct Connector {
        int status = 0;  // index into the status names
        uint64_t energyDeciWh = 0;
        int32_t powerW = 0;
        uint32_t txId = 0;
        uint32_t idTag = 0;
        uint64_t lastUs = 0;
    };

    void EmitLine(Out& o);
    void ClockTime(Out& o);
    void Stamp(Out& o);
    void MainLine(Out& o);
    void CsmsLine(Out& o);
    void ShellLine(Out& o);
    void BrokerLine(Out& o);

    // Main log pieces.
    void MeterLine(Out& o, int c);
    void EvseLine(Out& o, int c);
    void ThermalLine(Out& o);
    void SystemLine(Out& o);
    void CanLine(Out& o);
    void StatusChange(Out& o, int c);
    void FaultLine(Out& o);
    // Moves connector c to its next status; returns the previous one.
    int StepStatus(int c);
    // Central-system pieces.
    void Uuid(Out& o);
    void IsoTime(Out& o);
    void CsmsRequest(Out& o);
    void MeterValuesBody(Out& o, int c);
    // Shell and broker pieces.
    void ShellBlockLine(Out& o);
    void BrokerPublish(Out& o, bool inbound);

    Connector& Conn(int c) { return conn_[c]; }
    void AdvanceConnectors();

    LogKind kind_;
    char date_[10];  // "YYYY-MM-DD" of dayStart_, without terminator
    int64_t dayStart_;
    uint64_t total_;
    uint64_t produced_ = 0;
    Rng rng_;
    double usPerByte_;
    uint64_t usOfDay_ = 0;  // timestamp of the line being written
    uint64_t lines_ = 0;

    Connector conn_[2];
    // A request whose answer is the next line of the central-system log.
    uint64_t pendingId_[2] = {0, 0};
    int pendingKind_ = -1;
    // Position inside a multi-line shell command output.
    int shellBlock_ = -1;
    int shellLine_ = 0;
    int32_t rttUs_ = 42000;
    int32_t rssi_ = -71;
    // Broker message ids and the acknowledgement owed for the last publish.
    uint32_t brokerMid_ = 1;
    int brokerAck_ = -1;
};

}  // namespace loggen

#endif  // LOGGEN_STATION_TEXT_H
