// Drives the C++ blocks from a line protocol, so that a Python test can run
// the same input sequences through the Python modules and through the core
// and hold the two to the bit.
//
//   new ID KIND ARGS...   builds a block       ID OP ARGS...   steps or reads it
//   zoh TS NUM DEN        korvel::zoh          repr X          Python's repr(X)
//   labrow T LAB X        one CSV record
//
// Numbers are C99 hex floats or decimals ("nan", "inf" included), "none" an
// absent optional; a list is "N X1 ... XN", a tag map "N TAG1 X1 ...". Every
// command answers one line, "ok ..." (numbers as %a) or "err KIND MESSAGE".
// A continuous transfer function to discretise is asked back as
// "need TS NUM DEN", answered by "NUM DEN" (SciPy's result), so both sides
// discretise alike.
#include <korvel/constdetect.hpp>
#include <korvel/delay.hpp>
#include <korvel/filters.hpp>
#include <korvel/labbias.hpp>
#include <korvel/limiters.hpp>
#include <korvel/lpv.hpp>
#include <korvel/mimo.hpp>
#include <korvel/pid.hpp>
#include <korvel/testsignal.hpp>
#include <korvel/text.hpp>
#include <korvel/timers.hpp>
#include <korvel/watchdog.hpp>
#include <korvel/zoh.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

using namespace korvel;

namespace {

struct bad_command : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Reader {
  public:
    explicit Reader(const std::string& line) : in_(line) {}
    std::string word() {
        std::string t;
        if (!(in_ >> t)) throw bad_command("missing argument");
        return t;
    }
    double num() {
        const std::string t = word();
        char* end = nullptr;
        const double v = std::strtod(t.c_str(), &end);
        if (*end != '\0') throw bad_command("not a number: " + t);
        return v;
    }
    long long integer() { return std::stoll(word()); }
    std::optional<double> opt() {
        const std::string t = word();
        if (t == "none") return std::nullopt;
        return std::strtod(t.c_str(), nullptr);
    }
    std::vector<double> list() {
        std::vector<double> v(static_cast<std::size_t>(integer()));
        for (double& x : v)
            x = num();
        return v;
    }
    TagValues tags() {
        TagValues m(static_cast<std::size_t>(integer()));
        for (auto& [k, v] : m) {
            k = word();
            v = num();
        }
        return m;
    }
    PairSpec spec() {
        PairSpec s;
        const std::string mode = word();
        s.integrating = integer() != 0;
        if (mode == "none") return s;
        if (mode == "tf_s" || mode == "tf_z") {
            s.mode = mode == "tf_s" ? PairMode::tf_s : PairMode::tf_z;
            s.num = list();
            s.den = list();
            if (s.mode == PairMode::tf_s)
                s.delay_s = num();
            else
                s.delay_z = static_cast<std::size_t>(integer());
        } else if (mode == "stp") {
            s.mode = PairMode::stp;
            s.table = list();
        } else if (mode == "stpxy") {
            s.mode = PairMode::stpxy;
            s.x = list();
            s.y = list();
        } else {
            throw bad_spec("unknown mode");
        }
        return s;
    }
    ModelDict model_dict() {
        ModelDict d(static_cast<std::size_t>(integer()));
        for (ModelRow& row : d) {
            row.cv = word();
            row.pairs.resize(static_cast<std::size_t>(integer()));
            for (auto& [mv, s] : row.pairs) {
                mv = word();
                s = spec();
            }
        }
        return d;
    }

  private:
    std::istringstream in_;
};

class Out {
  public:
    Out& num(double v) {
        char b[64];
        std::snprintf(b, sizeof b, " %a", v);
        s_ += b;
        return *this;
    }
    Out& integer(long long v) {
        s_ += ' ' + std::to_string(v);
        return *this;
    }
    Out& word(const std::string& w) {
        s_ += ' ' + w;
        return *this;
    }
    Out& opt(const std::optional<double>& v) { return v ? num(*v) : word("none"); }
    Out& list(const std::vector<double>& v) {
        integer(static_cast<long long>(v.size()));
        for (double x : v)
            num(x);
        return *this;
    }
    const std::string& text() const { return s_; }

  private:
    std::string s_;
};

void answer(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Discretisation asked back to the caller.
DiscreteTf ask(std::span<const double> num, std::span<const double> den, double Ts) {
    Out q;
    q.num(Ts).list({num.begin(), num.end()}).list({den.begin(), den.end()});
    answer("need" + q.text());
    std::string line;
    if (!std::getline(std::cin, line)) throw bad_command("no answer");
    if (line.rfind("err ", 0) == 0) throw std::invalid_argument(line.substr(4));
    Reader r(line);
    DiscreteTf d;
    d.num = r.list();
    d.den = r.list();
    return d;
}

DiscreteTf ask_c2d(std::span<const double> num, std::span<const double> den, double delay,
                   double Ts) {
    return c2d(num, den, delay, Ts, ask);
}

struct Ton {
    OnDelay t;
};
struct Toff {
    OffDelay t;
};

using Block = std::variant<Pid, ZFilter, SFilter, LeadLag, AntiWindup, RateLimiter,
                           DelayLine<double>, DelayBuffer, ConstWindow<>, RSLatch, Ton, Toff,
                           WatchDog, TestSignal, std::unique_ptr<MimoSim>,
                           std::unique_ptr<LpvPlant>, std::unique_ptr<SoftSensor>, LabHistory>;

std::map<std::string, std::unique_ptr<Block>> blocks;
std::vector<std::string> printed; // lines a soft sensor printed in the last call

Block make(const std::string& kind, Reader& r) {
    if (kind == "pid") return Pid(r.num());
    if (kind == "zfilter") {
        auto b = r.list(), a = r.list();
        const auto u = r.opt(), y = r.opt();
        return ZFilter(std::move(b), std::move(a), u, y);
    }
    if (kind == "sfilter") {
        auto b = r.list(), a = r.list();
        const double Ts = r.num();
        const auto u = r.opt(), y = r.opt();
        return SFilter(std::move(b), std::move(a), Ts, u, y, ask);
    }
    if (kind == "leadlag") {
        const double alpha = r.num(), tao = r.num();
        const long long Ts = r.integer();
        const auto u = r.opt(), y = r.opt();
        return LeadLag(alpha, tao, Ts, u, y, ask);
    }
    if (kind == "antiwindup") return AntiWindup();
    if (kind == "ratelimit") {
        const double u = r.num();
        return RateLimiter(u, r.num());
    }
    if (kind == "delayline") return DelayLine<double>(static_cast<std::size_t>(r.integer()));
    if (kind == "delaybuffer") return DelayBuffer();
    if (kind == "constwindow") return ConstWindow<>();
    if (kind == "rs") return RSLatch();
    if (kind == "ondelay") return Ton{OnDelay(r.integer())};
    if (kind == "offdelay") return Toff{OffDelay(r.integer())};
    if (kind == "watchdog") return WatchDog();
    if (kind == "testsignal") {
        auto table = r.list();
        const long long ET = r.integer();
        return TestSignal(std::move(table), ET, r.num());
    }
    if (kind == "mimo") {
        const TagValues ini = r.tags();
        const double Ts = r.num();
        return std::make_unique<MimoSim>(r.model_dict(), ini, Ts, ask_c2d);
    }
    if (kind == "lpv") return std::make_unique<LpvPlant>(r.tags());
    if (kind == "softsensor") {
        const std::string name = r.word();
        const double tao = r.num(), thr = r.num();
        const auto prd_len = static_cast<std::size_t>(r.integer());
        const auto const_len = static_cast<std::size_t>(r.integer());
        return std::make_unique<SoftSensor>(
            name, tao, thr, prd_len, const_len, ask,
            [](std::string_view line) { printed.emplace_back(line); });
    }
    if (kind == "labhistory") return LabHistory(static_cast<std::size_t>(r.integer()));
    throw bad_command("unknown kind " + kind);
}

template <class... F> struct Visit : F... {
    using F::operator()...;
};

void pid_op(Pid& p, const std::string& op, Reader& r, Out& o) {
    if (op == "run") {
        const double m = r.num(), sp = r.num(), pv = r.num(), tv = r.num(), ff = r.num();
        Pid::ModeError err;
        const double y = p.run(m, sp, pv, tv, ff, err);
        if (err != Pid::ModeError::none) throw std::domain_error("mode cannot be rounded");
        o.num(y);
    } else if (op == "auto") {
        const double sp = r.num(), pv = r.num();
        o.num(p.automatic(sp, pv, r.num()));
    } else if (op == "params") {
        const double kp = r.num(), ti = r.num(), td = r.num();
        p.set_params(kp, ti, td, r.num());
    } else if (op == "limits") {
        const double hi = r.num();
        o.integer(p.set_limits(hi, r.num()));
    } else if (op == "reset") {
        const double sp = r.num(), pv = r.num(), tv = r.num();
        p.reset(sp, pv, tv, r.num());
    } else if (op == "state") {
        const auto& s = p.saved();
        const auto& h = p.history();
        const auto& q = p.params();
        for (double v : {s.OP, s.OPcal, s.dOP, s.dOP_P, s.dOP_I, s.dOP_D, s.dFF, h.et1, h.et2,
                         h.OP1, h.FF1, h.dOPD1, q.KP, q.TI, q.TD, q.N, p.op_hi(), p.op_lo()})
            o.num(v);
    } else {
        throw bad_command("pid: " + op);
    }
}

template <class F> void zfilter_op(F& f, ZFilter& z, const std::string& op, Reader& r, Out& o) {
    if (op == "step") {
        const double u = r.num();
        o.num(f.step(u, r.num()));
    } else if (op == "run") {
        std::vector<double> x = r.list();
        z.run(x.data(), x.data(), x.size(), r.num());
        o.list(x);
    } else if (op == "state") {
        o.list(z.state()).opt(z.operating_point().u).opt(z.operating_point().y);
    } else {
        throw bad_command("zfilter: " + op);
    }
}

void leadlag_op(LeadLag& f, const std::string& op, Reader& r, Out& o) {
    if (op == "step") {
        o.num(f.step(r.num()));
    } else if (op == "run") {
        std::vector<double> x = r.list();
        f.run(x.data(), x.data(), x.size());
        o.list(x);
    } else if (op == "alpha") {
        f.set_alpha(r.num());
    } else if (op == "tao") {
        f.set_tao(r.num());
    } else if (op == "state") {
        if (f.state())
            o.list(*f.state());
        else
            o.word("none");
        o.opt(f.last().u).opt(f.last().y).list(f.iir().b()).list(f.iir().a());
    } else {
        throw bad_command("leadlag: " + op);
    }
}

void mimo_op(MimoSim& m, const std::string& op, Reader& r, Out& o) {
    if (op == "step") {
        const TagValues u = r.tags(), v = r.tags();
        o.list(m.step(u, v));
    } else if (op == "reset") {
        m.reset();
    } else if (op == "inputs") {
        o.list(m.inputs()).list(m.outputs());
    } else {
        throw bad_command("mimo: " + op);
    }
}

void lpv_op(LpvPlant& p, const std::string& op, Reader& r, Out& o) {
    if (op == "add") {
        const long long id = r.integer();
        const double wp = r.num(), Ts = r.num();
        p.add_plant(id, wp, r.model_dict(), Ts, ask_c2d);
    } else if (op == "del") {
        p.del_plant(r.integer());
    } else if (op == "step") {
        const double wv = r.num();
        const TagValues u = r.tags(), v = r.tags();
        const TagValues& y = p.step(wv, u, v);
        o.integer(static_cast<long long>(y.size()));
        for (const auto& [tag, value] : y)
            o.word(tag).num(value);
    } else if (op == "bank") {
        o.integer(static_cast<long long>(p.bank().size()));
        for (const auto& l : p.bank())
            o.integer(l.id).num(l.weight);
    } else {
        throw bad_command("lpv: " + op);
    }
}

void soft_op(SoftSensor& s, const std::string& op, Reader& r, Out& o) {
    if (op == "run") {
        const double prd = r.num(), lab = r.num(), labt = r.num();
        const auto prdt = r.opt(), trig = r.opt();
        printed.clear();
        o.num(s.run(prd, lab, labt, prdt, trig)).integer(static_cast<long long>(printed.size()));
    } else if (op == "state") {
        const BiasUpdate& c = s.core();
        o.num(c.bias()).integer(c.update_flag()).num(c.current_lab_data());
        o.num(c.current_lab_time()).num(c.prd_data_at_labtime());
    } else {
        throw bad_command("softsensor: " + op);
    }
}

void apply(Block& b, const std::string& op, Reader& r, Out& o) {
    std::visit(Visit{
                   [&](Pid& p) { pid_op(p, op, r, o); },
                   [&](ZFilter& z) { zfilter_op(z, z, op, r, o); },
                   [&](SFilter& s) { zfilter_op(s, s.zfilter(), op, r, o); },
                   [&](LeadLag& f) { leadlag_op(f, op, r, o); },
                   [&](AntiWindup& a) {
                       const double u = r.num(), hi = r.num();
                       o.num(a.step(u, hi, r.num()));
                   },
                   [&](RateLimiter& l) {
                       if (op == "reset") return l.reset(r.num());
                       const double target = r.num(), rise = r.num();
                       o.num(l.step(target, rise, r.opt()));
                   },
                   [&](DelayLine<double>& d) {
                       const double u = r.num();
                       const long long lag = r.integer();
                       d.push(u);
                       if (!d.valid_lag(lag)) throw std::out_of_range("nLag out of range");
                       o.num(d.at(static_cast<std::size_t>(lag)));
                   },
                   [&](DelayBuffer& d) {
                       const double u = r.num();
                       o.num(d.step(u, static_cast<std::size_t>(r.integer())));
                   },
                   [&](ConstWindow<>& w) {
                       const double u = r.num();
                       o.integer(w.step(u, r.integer()));
                   },
                   [&](RSLatch& l) {
                       const bool s = r.integer() != 0;
                       o.integer(l.step(s, r.integer() != 0));
                   },
                   [&](Ton& t) {
                       if (op == "dt") return t.t.set_DT(r.integer());
                       o.integer(t.t.step(r.integer())).integer(t.t.ET());
                   },
                   [&](Toff& t) {
                       if (op == "dt") return t.t.set_DT(r.integer());
                       o.integer(t.t.step(r.integer())).integer(t.t.ET());
                   },
                   [&](WatchDog& w) {
                       const auto t = w.step(r.integer());
                       if (!t) throw std::domain_error("integer modulo by zero");
                       o.integer(*t);
                   },
                   [&](TestSignal& t) {
                       if (op == "et") return t.set_ET(r.integer());
                       if (op == "amp") return t.set_amplitude(r.num());
                       const auto s = t.at(r.integer());
                       if (!s) throw std::domain_error("no signal");
                       o.num(s->U);
                       for (long long n : s->next)
                           o.integer(n);
                   },
                   [&](std::unique_ptr<MimoSim>& m) { mimo_op(*m, op, r, o); },
                   [&](std::unique_ptr<LpvPlant>& p) { lpv_op(*p, op, r, o); },
                   [&](std::unique_ptr<SoftSensor>& s) { soft_op(*s, op, r, o); },
                   [&](LabHistory& h) {
                       const double v = r.num();
                       h.record(v);
                       o.integer(h.new_result(r.num()));
                   },
               },
               b);
}

std::string kind_of(const std::exception& e) {
    if (dynamic_cast<const bad_spec*>(&e)) return "bad_spec";
    if (dynamic_cast<const zero_division*>(&e)) return "zero_division";
    if (dynamic_cast<const std::out_of_range*>(&e)) return "out_of_range";
    if (dynamic_cast<const std::overflow_error*>(&e)) return "overflow_error";
    if (dynamic_cast<const std::invalid_argument*>(&e)) return "invalid_argument";
    if (dynamic_cast<const std::domain_error*>(&e)) return "domain_error";
    if (dynamic_cast<const bad_command*>(&e)) return "bad_command";
    return "runtime_error";
}

void command(const std::string& line) {
    Reader r(line);
    const std::string head = r.word();
    Out o;
    if (head == "new") {
        const std::string id = r.word(), kind = r.word();
        blocks[id] = std::make_unique<Block>(make(kind, r));
    } else if (head == "zoh") {
        const double Ts = r.num();
        const auto num = r.list(), den = r.list();
        const DiscreteTf d = zoh(num, den, Ts);
        o.list(d.num).list(d.den);
    } else if (head == "repr") {
        o.word(float_repr(r.num()));
    } else if (head == "labrow") {
        const auto t = static_cast<std::time_t>(r.integer());
        const double lab = r.num();
        std::string row = lab_row(t, lab, r.num());
        row.pop_back(); // the line feed
        o.word(row);
    } else {
        auto it = blocks.find(head);
        if (it == blocks.end()) throw bad_command("no block " + head);
        apply(*it->second, r.word(), r, o);
    }
    answer("ok" + o.text());
}

} // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        try {
            command(line);
        } catch (const std::exception& e) {
            answer("err " + kind_of(e) + " " + e.what());
        }
    }
}
