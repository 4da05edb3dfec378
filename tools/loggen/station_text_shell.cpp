// Lines of the network shell log (modem and link checks) and of the local broker's log.
#include "tools/loggen/station_text.h"

namespace loggen {
namespace {

constexpr int kBlockLines[] = {7, 9, 8, 4, 3, 2, 3};
constexpr int kBlockCount = 7;

}  // namespace

void StationText::ShellLine(Out& o) {
    const uint64_t s = usOfDay_ / 1000000;
    o.Ch('[');
    o.Lit(std::string_view(date_, sizeof date_));
    o.Ch(' ');
    o.Fixed(s / 3600, 2);
    o.Ch(':');
    o.Fixed(s / 60 % 60, 2);
    o.Ch(':');
    o.Fixed(s % 60, 2);
    o.Lit("] ");
    if (shellBlock_ < 0) {
        shellBlock_ = static_cast<int>(rng_.Below(kBlockCount));
        shellLine_ = 0;
        rttUs_ = rng_.Around(42000, 30000);
        rssi_ = rng_.Around(-71, 12);
    }
    ShellBlockLine(o);
    if (++shellLine_ >= kBlockLines[shellBlock_]) shellBlock_ = -1;
}

void StationText::ShellBlockLine(Out& o) {
    const int n = shellLine_;
    switch (shellBlock_) {
        case 0: {
            static constexpr std::string_view kPing[] = {
                "$ ping -c 1 -W 2 csms.example.net",
                "PING csms.example.net (203.0.113.10): 56 data bytes",
                "64 bytes from 203.0.113.10: seq=0 ttl=53 time=",
                "",
                "--- csms.example.net ping statistics ---",
                "1 packets transmitted, 1 packets received, 0% packet loss",
                "round-trip min/avg/max = "};
            o.Lit(kPing[n]);
            if (n == 2) {
                o.Dec(rttUs_, 3);
                o.Lit(" ms");
            } else if (n == 6) {
                for (int i = 0; i < 3; ++i) {
                    o.Dec(rttUs_, 3);
                    o.Ch(i < 2 ? '/' : ' ');
                }
                o.Lit("ms");
            }
            break;
        }
        case 1: {
            static constexpr std::string_view kAt[] = {"$ modem_at AT+CSQ",
                                                       "+CSQ: ",
                                                       "OK",
                                                       "$ modem_at AT+COPS?",
                                                       "+COPS: 0,0,\"Example Mobile\",7",
                                                       "OK",
                                                       "$ modem_at AT+CREG?",
                                                       "+CREG: 0,1",
                                                       "OK"};
            o.Lit(kAt[n]);
            if (n == 1) {
                o.Uint(static_cast<uint64_t>((rssi_ + 113) / 2));
                o.Lit(",99");
            }
            break;
        }
        case 2: {
            static constexpr std::string_view kIf[] = {
                "$ ifconfig wwan0",
                "wwan0     Link encap:UNSPEC  HWaddr 00-00-00-00-00-00-00-00",
                "          inet addr:10.64.12.7  P-t-P:10.64.12.7  Mask:255.255.255.255",
                "          UP POINTOPOINT RUNNING NOARP MULTICAST  MTU:1500  Metric:1",
                "          RX packets:",
                "          TX packets:",
                "          collisions:0 txqueuelen:1000",
                "          RX bytes:"};
            o.Lit(kIf[n]);
            const uint64_t base = 184000 + usOfDay_ / 400000 + rng_.Below(5000);
            if (n == 4) {
                o.Uint(base);
                o.Lit(" errors:0 dropped:0 overruns:0 frame:0");
            } else if (n == 5) {
                o.Uint(base * 9 / 10);
                o.Lit(" errors:0 dropped:0 overruns:0 carrier:0");
            } else if (n == 7) {
                o.Uint(base * 412);
                o.Lit(" (");
                o.Dec(static_cast<int64_t>(base * 412 / 104858), 1);
                o.Lit(" MiB)  TX bytes:");
                o.Uint(base * 305);
                o.Lit(" (");
                o.Dec(static_cast<int64_t>(base * 305 / 104858), 1);
                o.Lit(" MiB)");
            }
            break;
        }
        case 3: {
            static constexpr std::string_view kRoute[] = {
                "$ ip route", "default dev wwan0 scope link",
                "10.64.0.0/16 dev wwan0 proto kernel scope link src 10.64.12.7",
                "192.168.1.0/24 dev eth0 proto kernel scope link src 192.168.1.10"};
            o.Lit(kRoute[n]);
            break;
        }
        case 5: {
            if (n == 0) {
                o.Lit("$ cat /proc/loadavg");
            } else {
                o.Lit("0.");
                o.Fixed(rng_.Below(100), 2);
                o.Lit(" 0.");
                o.Fixed(rng_.Below(100), 2);
                o.Lit(" 0.");
                o.Fixed(rng_.Below(100), 2);
                o.Ch(' ');
                o.Uint(1 + rng_.Below(4));
                o.Ch('/');
                o.Uint(140 + rng_.Below(20));
                o.Ch(' ');
                o.Uint(1000 + rng_.Below(30000));
            }
            break;
        }
        case 6: {
            if (n == 0) {
                o.Lit("$ free -k");
            } else if (n == 1) {
                o.Lit("              total        used        free      shared  buff/cache");
            } else {
                o.Lit("Mem:         1013244      ");
                o.Uint(400000 + rng_.Below(200000));
                o.Lit("      ");
                o.Uint(100000 + rng_.Below(200000));
                o.Lit("        ");
                o.Uint(1000 + rng_.Below(9000));
                o.Lit("      ");
                o.Uint(200000 + rng_.Below(200000));
            }
            break;
        }
        default: {
            if (n == 0) {
                o.Lit("$ modem_at AT+QCELL=\"servingcell\"");
            } else if (n == 1) {
                o.Lit(
                    "+QCELL: \"servingcell\",\"NOCONN\",\"LTE\",\"FDD\",262,01,1A2B3C4,123,"
                    "1300,3,5,5,ABCD,");
                o.Int(rssi_ - 24);
                o.Lit(",-11,");
                o.Int(rssi_);
                o.Lit(",10,-");
            } else {
                o.Lit("OK");
            }
            break;
        }
    }
}

void StationText::BrokerLine(Out& o) {
    o.Uint(static_cast<uint64_t>(dayStart_) + usOfDay_ / 1000000);
    o.Lit(": ");
    if (brokerAck_ >= 0) {
        o.Lit(brokerAck_ == 0 ? "Sending PUBACK to station-ocpp (m"
                              : "Received PUBACK from csms-bridge (Mid: ");
        o.Uint(brokerMid_);
        o.Lit(brokerAck_ == 0 ? ", rc0)" : ", RC:0)");
        brokerAck_ = -1;
        ++brokerMid_;
        return;
    }
    const uint32_t pick = rng_.Below(100);
    if (pick < 80) {
        BrokerPublish(o, pick < 40);
    } else if (pick < 88) {
        o.Lit(pick < 84 ? "Received PINGREQ from station-app" : "Sending PINGRESP to station-app");
    } else if (pick < 95) {
        o.Lit(pick < 92 ? "Received SUBSCRIBE from station-diag" : "station-diag 1 station/diag/#");
    } else if (pick < 98) {
        o.Lit("New connection from 127.0.0.1:");
        o.Uint(40000 + rng_.Below(20000));
        o.Lit(" on port 1883, client id station-diag-");
        o.Hex(rng_.Next(), 8);
    } else {
        o.Lit("Client station-diag closed its connection.");
    }
}

void StationText::BrokerPublish(Out& o, bool inbound) {
    static constexpr std::string_view kTopics[] = {"station/ocpp/out/MeterValues",
                                                   "station/ocpp/out/Heartbeat",
                                                   "station/ocpp/out/StatusNotification",
                                                   "station/ocpp/in/Reply",
                                                   "station/diag/metrics",
                                                   "station/ocpp/in/TriggerMessage"};
    o.Lit(inbound ? "Received PUBLISH from station-ocpp (d0, q"
                  : "Sending PUBLISH to csms-bridge (d0, q");
    o.Uint(rng_.Below(2));
    o.Lit(", r0, m");
    brokerMid_ += rng_.Below(3);
    o.Uint(brokerMid_);
    o.Lit(", '");
    o.Lit(kTopics[rng_.Below(6)]);
    o.Lit("', ... (");
    o.Uint(120 + rng_.Below(1200));
    o.Lit(" bytes))");
    brokerAck_ = inbound ? 0 : 1;
}

}  // namespace loggen
