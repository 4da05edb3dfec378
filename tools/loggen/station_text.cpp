// Driver of one generated log, and the controller's own log lines.
#include "tools/loggen/station_text.h"

#include <algorithm>
#include <ctime>

namespace loggen {
namespace {

constexpr uint64_t kUsPerDay = 86400ULL * 1000000ULL;
constexpr const char* kStatus[] = {"Available", "Preparing", "Charging", "SuspendedEV",
                                   "Finishing"};
constexpr char kCpState[] = {'A', 'B', 'C', 'B', 'B'};
constexpr int kCharging = 2;

constexpr const char* kFaults[] = {
    "WARN  [Network] csms connection lost, reconnect in 5s (attempt 1/10)",
    "WARN  [RFID] reader did not answer within 500ms, resetting",
    "WARN  [Thermal] board temperature above 70.0C, derating to 16A",
    "ERROR [OCPP] CALL timed out after 30s, message kept in queue",
    "WARN  [Meter] energy register read retried (modbus exception 0x0b)",
    "ERROR [EVSE] RCD self test reported DC leakage 6mA, connector blocked",
    "WARN  [Config] key HeartbeatInterval out of range, using 300",
    "WARN  [System] ntp offset 1250ms, clock stepped",
};

}  // namespace

StationText::StationText(LogKind kind, int64_t dayStart, uint64_t totalBytes, uint64_t seed)
    : kind_(kind),
      dayStart_(dayStart),
      total_(totalBytes),
      rng_(seed),
      usPerByte_(totalBytes == 0
                     ? 0.0
                     : static_cast<double>(kUsPerDay) / static_cast<double>(totalBytes)) {
    const time_t t = static_cast<time_t>(dayStart);
    struct tm tmDay {};
    gmtime_r(&t, &tmDay);
    Out o(date_);
    o.Fixed(static_cast<uint64_t>(tmDay.tm_year) + 1900, 4);
    o.Ch('-');
    o.Fixed(static_cast<uint64_t>(tmDay.tm_mon) + 1, 2);
    o.Ch('-');
    o.Fixed(static_cast<uint64_t>(tmDay.tm_mday), 2);
    for (int c = 0; c < 2; ++c) {
        conn_[c].energyDeciWh = 10000000ULL + rng_.Below(50000000);
        conn_[c].txId = 1000 + rng_.Below(9000);
        conn_[c].idTag = static_cast<uint32_t>(rng_.Next());
    }
    // One connector is busy when the day begins.
    StepStatus(0);
    StepStatus(0);
}

size_t StationText::Read(char* buf, size_t cap) {
    Out o(buf);
    while (produced_ < total_ && static_cast<size_t>(o.Pos() - buf) + kMaxLine <= cap) {
        char* line = o.Pos();
        usOfDay_ = std::min(static_cast<uint64_t>(static_cast<double>(produced_) * usPerByte_),
                            kUsPerDay - 1);
        EmitLine(o);
        ++lines_;
        const uint64_t len = static_cast<uint64_t>(o.Pos() - line);
        if (produced_ + len >= total_) {
            // The file ends at its exact size, still on a newline.
            const uint64_t keep = total_ - produced_;
            line[keep - 1] = '\n';
            produced_ = total_;
            return static_cast<size_t>(line + keep - buf);
        }
        produced_ += len;
    }
    return static_cast<size_t>(o.Pos() - buf);
}

void StationText::EmitLine(Out& o) {
    switch (kind_) {
        case LogKind::kMain:
            MainLine(o);
            break;
        case LogKind::kCsms:
            CsmsLine(o);
            break;
        case LogKind::kNetworkShell:
            ShellLine(o);
            break;
        case LogKind::kCsmsBroker:
            BrokerLine(o);
            break;
    }
    o.Ch('\n');
}

// "HH:MM:SS.mmm"
void StationText::ClockTime(Out& o) {
    const uint64_t ms = usOfDay_ / 1000;
    o.Fixed(ms / 3600000, 2);
    o.Ch(':');
    o.Fixed(ms / 60000 % 60, 2);
    o.Ch(':');
    o.Fixed(ms / 1000 % 60, 2);
    o.Ch('.');
    o.Fixed(ms % 1000, 3);
}

// "YYYY-MM-DD HH:MM:SS.mmm "
void StationText::Stamp(Out& o) {
    o.Lit(std::string_view(date_, sizeof date_));
    o.Ch(' ');
    ClockTime(o);
    o.Ch(' ');
}

void StationText::AdvanceConnectors() {
    for (Connector& c : conn_) {
        if (c.status == kCharging && usOfDay_ > c.lastUs) {
            // W * us -> deci-Wh: divide by 3.6e8.
            c.energyDeciWh +=
                static_cast<uint64_t>(c.powerW) * (usOfDay_ - c.lastUs) / 360000000ULL;
        }
        c.lastUs = usOfDay_;
    }
}

void StationText::MainLine(Out& o) {
    Stamp(o);
    AdvanceConnectors();
    const uint32_t pick = rng_.Below(1000);
    const int c = static_cast<int>(rng_.Below(2));
    if (pick < 260) {
        MeterLine(o, c);
    } else if (pick < 460) {
        EvseLine(o, c);
    } else if (pick < 540) {
        ThermalLine(o);
    } else if (pick < 690) {
        o.Lit("INFO  [OCPP] ");
        if (pick < 620) {
            o.Lit("MeterValues queued for connector ");
            o.Ch(static_cast<char>('1' + c));
            o.Lit(" (tx ");
            o.Uint(Conn(c).txId);
            o.Lit("), pending=");
            o.Uint(rng_.Below(3));
        } else if (pick < 660) {
            o.Lit("Heartbeat acknowledged by csms, clock drift ");
            o.Int(rng_.Around(0, 40));
            o.Lit("ms");
        } else {
            o.Lit("StatusNotification sent: connector ");
            o.Ch(static_cast<char>('1' + c));
            o.Ch(' ');
            o.Lit(kStatus[Conn(c).status]);
            o.Lit("/NoError");
        }
    } else if (pick < 790) {
        SystemLine(o);
    } else if (pick < 930) {
        CanLine(o);
    } else if (pick < 980) {
        o.Lit("INFO  [Auth] idTag ");
        o.Hex(Conn(c).idTag, 8, true);
        o.Lit(" checked against local list: Accepted (cache hit), connector ");
        o.Ch(static_cast<char>('1' + c));
    } else if (pick < 995) {
        FaultLine(o);
    } else {
        StatusChange(o, c);
    }
}

void StationText::MeterLine(Out& o, int c) {
    const Connector& k = Conn(c);
    const int32_t volt = rng_.Around(2304, 40);
    const int32_t power = k.powerW == 0 ? rng_.Below(4) : rng_.Around(k.powerW, 300);
    o.Lit("DEBUG [Meter] conn=");
    o.Ch(static_cast<char>('1' + c));
    o.Lit(" E=");
    o.Dec(static_cast<int64_t>(k.energyDeciWh), 1);
    o.Lit("Wh P=");
    o.Int(power);
    o.Lit("W U=");
    o.Dec(volt, 1);
    o.Lit("V I=");
    o.Dec(static_cast<int64_t>(power) * 1000 / volt, 2);
    o.Lit("A f=50.0");
    o.Uint(rng_.Below(3));
    o.Lit("Hz");
}

void StationText::EvseLine(Out& o, int c) {
    const Connector& k = Conn(c);
    o.Lit("DEBUG [EVSE] conn=");
    o.Ch(static_cast<char>('1' + c));
    o.Lit(" state=");
    o.Lit(kStatus[k.status]);
    o.Lit(" cp=");
    o.Ch(kCpState[k.status]);
    o.Lit(k.status == kCharging ? " pwm=53.3% offered=32.0A relay=closed"
                                : " pwm=100.0% offered=0.0A relay=open");
    o.Lit(" rcd=ok pp=32A");
}

void StationText::ThermalLine(Out& o) {
    o.Lit("DEBUG [Thermal] inlet=");
    o.Dec(rng_.Around(312, 4), 1);
    o.Lit("C outlet=");
    o.Dec(rng_.Around(351, 6), 1);
    o.Lit("C board=");
    o.Dec(rng_.Around(440, 8), 1);
    o.Lit("C fan=");
    o.Uint(static_cast<uint64_t>(rng_.Around(2300, 200)));
    o.Lit("rpm derate=none");
}

void StationText::SystemLine(Out& o) {
    o.Lit("INFO  [System] uptime=");
    o.Uint(1200000 + usOfDay_ / 1000000);
    o.Lit("s load=0.");
    o.Fixed(rng_.Below(60), 2);
    o.Lit(" 0.4");
    o.Uint(rng_.Below(10));
    o.Lit(" 0.38 mem_free=");
    o.Uint(static_cast<uint64_t>(rng_.Around(182000, 3000)));
    o.Lit("kB sd_used=41% watchdog=fed");
}

void StationText::CanLine(Out& o) {
    static constexpr uint32_t kIds[] = {0x18FF50E5, 0x18FF51E5, 0x0CF00400, 0x18FEF100};
    const uint32_t which = rng_.Below(4);
    o.Lit(which < 2 ? "DEBUG [CAN] rx id=0x" : "DEBUG [CAN] tx id=0x");
    o.Hex(kIds[which], 8, true);
    o.Lit(" dlc=8 data=01 ");
    o.Hex(rng_.Below(4), 2, true);
    const uint64_t r = rng_.Next();
    for (int i = 0; i < 4; ++i) {
        o.Ch(' ');
        o.Hex(r >> (8 * i), 2, true);
    }
    o.Lit(" 34 00");
}

int StationText::StepStatus(int c) {
    Connector& k = Conn(c);
    const int from = k.status;
    k.status = (from + 1) % 5;
    if (k.status == kCharging) {
        k.txId += 1;
        k.powerW = rng_.Chance(500) ? 11000 : 7200;
    } else if (from == kCharging) {
        k.powerW = 0;
    }
    return from;
}

void StationText::StatusChange(Out& o, int c) {
    const int from = StepStatus(c);
    const Connector& k = Conn(c);
    o.Lit("INFO  [Connector] connector ");
    o.Ch(static_cast<char>('1' + c));
    o.Lit(" status changed: ");
    o.Lit(kStatus[from]);
    o.Lit(" -> ");
    o.Lit(kStatus[k.status]);
    if (k.status == kCharging) {
        o.Lit(", transaction ");
        o.Uint(k.txId);
        o.Lit(" started");
    }
}

void StationText::FaultLine(Out& o) {
    o.Lit(kFaults[rng_.Below(sizeof kFaults / sizeof kFaults[0])]);
}

}  // namespace loggen
