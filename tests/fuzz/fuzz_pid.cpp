// The PID block: outputs inside the limits, parameters clamped, tracking
// without a bump, and a copy that continues exactly as the original.
#include <korvel/pid.hpp>

#include <cmath>

#include "bytes.hpp"

namespace {

void same_state(const korvel::Pid& p, const korvel::Pid& q) {
    const auto &h = p.history(), &g = q.history();
    FUZZ_CHECK(fuzz::same(h.et1, g.et1) && fuzz::same(h.et2, g.et2) && fuzz::same(h.OP1, g.OP1) &&
               fuzz::same(h.FF1, g.FF1) && fuzz::same(h.dOPD1, g.dOPD1));
    const auto &s = p.saved(), &t = q.saved();
    FUZZ_CHECK(fuzz::same(s.OP, t.OP) && fuzz::same(s.OPcal, t.OPcal) && fuzz::same(s.dOP, t.dOP) &&
               fuzz::same(s.dOP_P, t.dOP_P) && fuzz::same(s.dOP_I, t.dOP_I) &&
               fuzz::same(s.dOP_D, t.dOP_D) && fuzz::same(s.dFF, t.dFF));
    FUZZ_CHECK(p.ini_flag() == q.ini_flag());
}

// Inside [lo, hi] when the band is proper; hi itself when it is inverted; a
// NaN passes.
void in_band(double op, double hi, double lo) {
    if (std::isnan(op) || std::isnan(hi) || std::isnan(lo)) return;
    if (hi >= lo)
        FUZZ_CHECK(lo <= op && op <= hi);
    else
        FUZZ_CHECK(op == hi);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    korvel::Pid p(in.number());
    korvel::Pid twin = p;
    bool copied = false;

    while (!in.empty()) {
        const double SP = in.number(), PV = in.number(), TV = in.number(), FF = in.number();
        switch (in.u8() % 8) {
        case 0: {
            const double KP = in.number(), TI = in.number(), TD = in.number(), N = in.number();
            p.set_params(KP, TI, TD, N);
            const auto& q = p.params();
            FUZZ_CHECK(fuzz::same(q.KP, KP));
            FUZZ_CHECK(std::isnan(q.TI) || q.TI >= 0.0);
            FUZZ_CHECK(std::isnan(q.TD) || q.TD >= 0.0);
            FUZZ_CHECK(std::isnan(q.N) || q.N >= 1e-6);
            if (copied) twin.set_params(KP, TI, TD, N);
            break;
        }
        case 1: {
            const double hi = in.number(), lo = in.number();
            const double old_hi = p.op_hi(), old_lo = p.op_lo();
            const bool ok = p.set_limits(hi, lo);
            FUZZ_CHECK(ok == (hi >= lo));
            FUZZ_CHECK(fuzz::same(p.op_hi(), ok ? hi : old_hi));
            FUZZ_CHECK(fuzz::same(p.op_lo(), ok ? lo : old_lo));
            if (copied) twin.set_limits(hi, lo);
            break;
        }
        case 2:
            p.reset(SP, PV, TV, FF);
            FUZZ_CHECK(!p.ini_flag() && fuzz::same(p.saved().OP, TV));
            if (copied) twin.reset(SP, PV, TV, FF);
            break;
        case 3: { // a mode of any value
            const double mode = in.u8() % 4 == 0 ? in.number() : static_cast<double>(in.u8() % 3);
            korvel::Pid::ModeError err, err2;
            const double op = p.run(mode, SP, PV, TV, FF, err);
            if (std::isnan(mode) || std::isinf(mode)) {
                FUZZ_CHECK(err != korvel::Pid::ModeError::none && op == 0.0);
            } else {
                FUZZ_CHECK(err == korvel::Pid::ModeError::none);
                in_band(op, p.op_hi(), p.op_lo());
                if (std::nearbyint(mode) != 1.0) {
                    // Tracking: the limited TV, and the next automatic step
                    // starts from TV itself.
                    FUZZ_CHECK(fuzz::same(p.history().OP1, TV));
                    FUZZ_CHECK(fuzz::same(p.history().et1, SP - PV));
                }
            }
            if (copied) FUZZ_CHECK(fuzz::same(twin.run(mode, SP, PV, TV, FF, err2), op));
            break;
        }
        case 4: {
            const double op = p.automatic(SP, PV, FF);
            in_band(op, p.op_hi(), p.op_lo());
            FUZZ_CHECK(fuzz::same(p.saved().OP, op) && fuzz::same(p.history().OP1, op));
            FUZZ_CHECK(fuzz::same(p.history().et1, SP - PV));
            if (copied) FUZZ_CHECK(fuzz::same(twin.automatic(SP, PV, FF), op));
            break;
        }
        case 5:
            twin = p;
            copied = true;
            break;
        case 6: { // fields written directly, the band possibly inverted
            const double hi = in.number(), lo = in.number();
            p.set_hi(hi);
            p.set_lo(lo);
            if (copied) {
                twin.set_hi(hi);
                twin.set_lo(lo);
            }
            break;
        }
        case 7: {
            const double ts = in.number();
            p.set_TS(ts);
            if (copied) twin.set_TS(ts);
            break;
        }
        }
        if (copied) same_state(p, twin);
    }
    FUZZ_CHECK(!korvel::Pid::form().empty());
    return 0;
}
