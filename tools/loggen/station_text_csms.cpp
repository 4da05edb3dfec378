// Lines of the central-system log: protocol frames sent and received over the websocket.
#include "tools/loggen/station_text.h"

namespace loggen {
namespace {

constexpr const char* kStatusNames[] = {"Available", "Preparing", "Charging", "SuspendedEV",
                                        "Finishing"};
constexpr int kCharging = 2;

enum Pending { kNone = -1, kMeterAck, kHeartbeatAck, kStatusAck, kTriggerReply };

}  // namespace

// "YYYY-MM-DDTHH:MM:SS.mmmZ"
void StationText::IsoTime(Out& o) {
    o.Lit(std::string_view(date_, sizeof date_));
    o.Ch('T');
    ClockTime(o);
    o.Ch('Z');
}

void StationText::Uuid(Out& o) {
    const uint64_t a = pendingId_[0];
    const uint64_t b = pendingId_[1];
    o.Hex(a >> 32, 8);
    o.Ch('-');
    o.Hex(a >> 16, 4);
    o.Lit("-4");
    o.Hex(a, 3);
    o.Ch('-');
    o.Hex((b >> 48 & 0x3fff) | 0x8000, 4);
    o.Ch('-');
    o.Hex(b, 12);
}

void StationText::CsmsLine(Out& o) {
    IsoTime(o);
    if (pendingKind_ == kNone) {
        CsmsRequest(o);
        return;
    }
    const int kind = pendingKind_;
    pendingKind_ = kNone;
    if (kind == kTriggerReply) {
        o.Lit(" [ws] >> [3,\"");
        Uuid(o);
        o.Lit("\",{\"status\":\"Accepted\"}]");
        return;
    }
    o.Lit(" [ws] << [3,\"");
    Uuid(o);
    if (kind == kHeartbeatAck) {
        o.Lit("\",{\"currentTime\":\"");
        IsoTime(o);
        o.Lit("\"}]");
    } else {
        o.Lit("\",{}]");
    }
}

void StationText::CsmsRequest(Out& o) {
    AdvanceConnectors();
    const uint32_t pick = rng_.Below(100);
    const int c = static_cast<int>(rng_.Below(2));
    if (rng_.Chance(4)) StepStatus(c);
    if (pick < 12) {
        o.Lit(pick < 6 ? " [ws] ping sent" : " [ws] pong received, rtt=");
        if (pick >= 6) {
            o.Uint(static_cast<uint64_t>(rng_.Around(84, 20)));
            o.Lit("ms");
        }
        return;
    }
    pendingId_[0] = rng_.Next();
    pendingId_[1] = rng_.Next();
    if (pick < 64) {
        pendingKind_ = kMeterAck;
        o.Lit(" [ws] >> [2,\"");
        Uuid(o);
        o.Lit("\",\"MeterValues\",");
        MeterValuesBody(o, c);
        o.Ch(']');
    } else if (pick < 74) {
        // Vendor diagnostics travel as opaque base64 blobs.
        static constexpr char kB64[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        pendingKind_ = kStatusAck;
        o.Lit(" [ws] >> [2,\"");
        Uuid(o);
        o.Lit(
            "\",\"DataTransfer\",{\"vendorId\":\"com.example.evse\",\"messageId\":\"diag\","
            "\"data\":\"");
        for (int w = 0; w < 8; ++w) {
            uint64_t r = rng_.Next();
            for (int i = 0; i < 10; ++i, r >>= 6) o.Ch(kB64[r & 63]);
        }
        o.Lit("==\"}]");
    } else if (pick < 82) {
        pendingKind_ = kHeartbeatAck;
        o.Lit(" [ws] >> [2,\"");
        Uuid(o);
        o.Lit("\",\"Heartbeat\",{}]");
    } else if (pick < 94) {
        pendingKind_ = kStatusAck;
        o.Lit(" [ws] >> [2,\"");
        Uuid(o);
        o.Lit("\",\"StatusNotification\",{\"connectorId\":");
        o.Ch(static_cast<char>('1' + c));
        o.Lit(",\"errorCode\":\"NoError\",\"status\":\"");
        o.Lit(kStatusNames[conn_[c].status]);
        o.Lit("\",\"timestamp\":\"");
        IsoTime(o);
        o.Lit("\"}]");
    } else {
        pendingKind_ = kTriggerReply;
        o.Lit(" [ws] << [2,\"");
        Uuid(o);
        o.Lit("\",\"TriggerMessage\",{\"requestedMessage\":\"MeterValues\",\"connectorId\":");
        o.Ch(static_cast<char>('1' + c));
        o.Lit("}]");
    }
}

void StationText::MeterValuesBody(Out& o, int c) {
    const Connector& k = conn_[c];
    const int32_t power = k.status == kCharging ? rng_.Around(k.powerW, 300) : 0;
    const int32_t volt = rng_.Around(2304, 40);
    o.Lit("{\"connectorId\":");
    o.Ch(static_cast<char>('1' + c));
    o.Lit(",\"transactionId\":");
    o.Uint(k.txId);
    o.Lit(",\"meterValue\":[{\"timestamp\":\"");
    IsoTime(o);
    o.Lit("\",\"sampledValue\":[{\"value\":\"");
    o.Dec(static_cast<int64_t>(k.energyDeciWh), 1);
    o.Lit(
        "\",\"context\":\"Sample.Periodic\",\"measurand\":\"Energy.Active.Import.Register\","
        "\"unit\":\"Wh\"},{\"value\":\"");
    o.Int(power);
    o.Lit(
        "\",\"context\":\"Sample.Periodic\",\"measurand\":\"Power.Active.Import\","
        "\"unit\":\"W\"},{\"value\":\"");
    o.Dec(volt, 1);
    o.Lit(
        "\",\"context\":\"Sample.Periodic\",\"measurand\":\"Voltage\",\"phase\":\"L1-N\","
        "\"unit\":\"V\"},{\"value\":\"");
    o.Dec(static_cast<int64_t>(power) * 1000 / volt, 2);
    o.Lit(
        "\",\"context\":\"Sample.Periodic\",\"measurand\":\"Current.Import\","
        "\"phase\":\"L1\",\"unit\":\"A\"},{\"value\":\"");
    o.Uint(static_cast<uint64_t>(rng_.Around(52, 30)));
    o.Lit(
        "\",\"context\":\"Sample.Periodic\",\"measurand\":\"SoC\",\"location\":\"EV\","
        "\"unit\":\"Percent\"},{\"value\":\"");
    o.Dec(rng_.Around(350, 80), 1);
    o.Lit(
        "\",\"context\":\"Sample.Periodic\",\"measurand\":\"Temperature\","
        "\"location\":\"Body\",\"unit\":\"Celsius\"}]}]}");
}

}  // namespace loggen
