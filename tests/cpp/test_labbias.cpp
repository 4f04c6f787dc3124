#include <korvel/bytes.hpp>
#include <korvel/labbias.hpp>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

using korvel::BiasUpdate;
using korvel::LabHistory;
using Attempt = BiasUpdate::Attempt;

namespace {

std::vector<double> contents(const korvel::Ring<double>& r) {
    std::vector<double> v;
    r.for_each([&](double x) { v.push_back(x); });
    return v;
}

// Calls (1-based) at which a level that steps to 2.0 at call `n` counts as new.
std::vector<int> new_result_calls(std::size_t const_len, int n, int calls) {
    LabHistory h(const_len + 2);
    std::vector<int> hits;
    for (int i = 1; i <= calls; ++i) {
        h.record(i < n ? 1.0 : 2.0);
        if (h.new_result(1e-6)) hits.push_back(i);
    }
    return hits;
}

// Logs what the blocks ask of the program around them.
struct Traced {
    static inline std::vector<std::string> log;

    using Name = std::string;
    using Length = long long;
    static std::size_t capacity(long long len, int extra) {
        log.push_back("capacity " + std::to_string(len));
        if (len + extra < 0) throw std::length_error("no capacity");
        return static_cast<std::size_t>(len + extra);
    }
    [[noreturn]] static void refuse(const std::string& name, const char* tail) {
        log.push_back("refuse");
        throw std::invalid_argument(name + tail);
    }
    static bool contains(const std::string& name, char c) {
        return name.find(c) != std::string::npos;
    }

    struct Notes {
        void operator()(const std::string& name, const char* text) const {
            log.push_back(name + text);
        }
    };
    using Lag = double; // a gain; 0 passes the bias
    using LagMaker = int;
    using Output = double;
    static double make_lag(int, double filter_tao) {
        log.push_back("lag");
        return filter_tao;
    }
    static double* hold(double& lag) { return &lag; }
    static bool present(const double* lag) { return *lag != 0; }
    static double step(double* lag, double bias) {
        log.push_back("step");
        return *lag * bias;
    }
    static double pass(double bias) { return bias; }

    using DirArg = std::string;
    using Dir = std::string;
    using File = std::string;
    static Dir resolve(const std::string& dir) {
        log.push_back("resolve");
        return "/" + dir;
    }
    static bool fs_text(const std::string& s, std::string& out) {
        log.push_back("encode " + s);
        out = s;
        return true;
    }
    static void make_dirs(const std::string& dir) { log.push_back("mkdir " + dir); }
    static File join(const Dir& dir, const Name& name, const char* suffix) {
        return dir + "/" + name + suffix;
    }
    static void append(const File& file, std::string_view) { log.push_back("append " + file); }
};

} // namespace

// The checks, notes and calls come in the core's order whatever program runs
// the blocks (the Python module's refusals and lines follow from it).
TEST(LabBlocks, AskTheirProgramInTheCoresOrder) {
    using Log = std::vector<std::string>;
    using Sensor = korvel::BasicSoftSensor<Traced>;
    using Recorder = korvel::BasicLabRecorder<Traced>;
    Log& log = Traced::log;

    log.clear();
    EXPECT_THROW(Sensor("s", 2.0, 1e-6, -5, -7, 0, {}), std::length_error);
    EXPECT_EQ(log, Log{"capacity -5"});
    log.clear();
    Sensor s("s", 2.0, 1e-6, 3, 1, 0, {});
    EXPECT_EQ(log, (Log{"capacity 3", "capacity 1", "lag"}));
    log.clear();
    EXPECT_THROW(s.run(1.0, 4.0, NAN, 100.0), std::invalid_argument);
    EXPECT_EQ(log, Log{"refuse"});
    EXPECT_TRUE(s.core().prd_data().empty());
    // A first call that repeats the last accepted result: both notes, then
    // the lag, stepped with the bias kept.
    s.core_mut().current_lab_data_mut() = 4.0;
    s.core_mut().current_lab_time_mut() = 100.0;
    log.clear();
    EXPECT_EQ(s.run(1.0, 4.0, 100.0, 100.0), 0.0);
    EXPECT_EQ(log, (Log{"s: Bias Update is not triggered, lab_data or lab_time is unchanged.",
                        "s: Bias Update is triggered by the first data.", "step"}));
    log.clear();
    EXPECT_EQ(s.run(1.0, 5.0, 100.0, 160.0, 1.0), 8.0);
    EXPECT_EQ(log, Log{"step"});

    log.clear();
    EXPECT_THROW(Recorder("a/b", 1e-6, -9, "d"), std::invalid_argument);
    EXPECT_EQ(log, Log{"refuse"});
    log.clear();
    const std::string long_name(300, 'n');
    EXPECT_THROW(Recorder(long_name, 1e-6, 0, "d"), std::invalid_argument);
    EXPECT_EQ(log, (Log{"capacity 0", "resolve", "encode /d", "encode " + long_name, "refuse"}));
    log.clear();
    Recorder r("rec", 1e-6, 0, "d");
    EXPECT_EQ(log, (Log{"capacity 0", "resolve", "encode /d", "encode rec", "mkdir /d"}));
    EXPECT_EQ(r.csv_file(), "/d/rec_Raw_LabData.csv");
    log.clear();
    EXPECT_THROW(r.run(1.0, INFINITY), std::invalid_argument);
    EXPECT_FALSE(r.run(1.0, 0.0));
    EXPECT_TRUE(r.run(2.0, 0.0));
    EXPECT_EQ(log, (Log{"refuse", "append /d/rec_Raw_LabData.csv"}));
}

TEST(LabHistory, FirstValueBackfillsAndNeverCounts) {
    LabHistory h(5);
    EXPECT_EQ(h.values().capacity(), 0u); // nothing allocated before the first value
    h.record(3.0);
    EXPECT_EQ(contents(h.values()), std::vector<double>(5, 3.0));
    EXPECT_FALSE(h.new_result(0.5));
    h.record(4.0);
    EXPECT_EQ(contents(h.values()), (std::vector<double>{3.0, 3.0, 3.0, 3.0, 4.0}));
}

TEST(LabHistory, StepCountsOnceAfterSettling) {
    EXPECT_EQ(new_result_calls(60, 10, 200), std::vector<int>{70});
    EXPECT_EQ(new_result_calls(3, 2, 20), std::vector<int>{5});
    // const_len 0: every step of at least the threshold counts at once.
    LabHistory h(2);
    std::vector<int> hits;
    const double level[] = {1.0, 1.0, 2.0, 2.0, 2.5, 2.5 + 1e-7, 3.0};
    for (int i = 0; i < 7; ++i) {
        h.record(level[i]);
        if (h.new_result(1e-6)) hits.push_back(i);
    }
    EXPECT_EQ(hits, (std::vector<int>{2, 4, 6}));
}

TEST(LabHistory, SmallStepsAndInterruptions) {
    // Below the threshold: never new.
    LabHistory h(4);
    for (double v : {1.0, 1.05, 1.05, 1.05, 1.05, 1.05}) {
        h.record(v);
        EXPECT_FALSE(h.new_result(0.1));
    }
    // A second step of 1e-6 while the first settles cancels it; the second
    // one starts its own count.
    LabHistory g(4);
    std::vector<int> hits;
    const double level[] = {1.0, 2.0, 2.0, 2.0 + 1e-6, 2.0 + 1e-6, 2.0 + 1e-6, 2.0 + 1e-6};
    for (int i = 0; i < 7; ++i) {
        g.record(level[i]);
        if (g.new_result(1e-6)) hits.push_back(i);
    }
    EXPECT_EQ(hits, std::vector<int>{5});
    // A threshold of 0 takes a constant value as a step of 0 >= 0.
    LabHistory c(3);
    c.record(1.0);
    EXPECT_TRUE(c.new_result(0.0));
    EXPECT_FALSE(c.new_result(std::nan("")));
}

TEST(LabHistory, TooShortForTheRule) {
    for (std::size_t cap : {0u, 1u}) {
        LabHistory h(cap);
        h.record(1.0);
        EXPECT_THROW((void)h.new_result(1e-6), std::out_of_range);
    }
}

TEST(BiasUpdate, FirstCallBackfillsStampsSixtySecondsApart) {
    BiasUpdate b(1e-6, 4, 3);
    const auto s = b.run(5.0, 7.0, 1000.0, 1000.0, std::nullopt);
    EXPECT_TRUE(s.first);
    EXPECT_EQ(s.attempt, Attempt::updated);
    EXPECT_EQ(contents(b.prd_data()), std::vector<double>(4, 5.0));
    EXPECT_EQ(contents(b.prd_time()), (std::vector<double>{820.0, 880.0, 940.0, 1000.0}));
    EXPECT_EQ(contents(b.lab().values()), std::vector<double>(3, 7.0));
    EXPECT_EQ(b.bias(), 2.0);
    EXPECT_TRUE(b.update_flag());
    EXPECT_EQ(b.prd_data_at_labtime(), 5.0);
    EXPECT_EQ(b.current_lab_time(), 1000.0);
    // The next call is not a first call and, with a constant value, no attempt.
    const auto t = b.run(6.0, 7.0, 1000.0, 1060.0, std::nullopt);
    EXPECT_FALSE(t.first);
    EXPECT_EQ(t.attempt, Attempt::none);
    EXPECT_FALSE(b.update_flag());
    EXPECT_EQ(contents(b.prd_time()), (std::vector<double>{880.0, 940.0, 1000.0, 1060.0}));
}

TEST(BiasUpdate, WindowBoundsAreInclusive) {
    for (double lab_time : {1000.0 - 3 * 60.0, 1000.0}) {
        BiasUpdate b(1e-6, 4, 3);
        EXPECT_EQ(b.run(5.0, 7.0, lab_time, 1000.0, std::nullopt).attempt, Attempt::updated);
    }
    for (double lab_time : {1000.0 - 3 * 60.0 - 1e-9, 1000.000001}) {
        BiasUpdate b(1e-6, 4, 3);
        const auto s = b.run(5.0, 7.0, lab_time, 1000.0, std::nullopt);
        EXPECT_TRUE(s.first);
        EXPECT_EQ(s.attempt, Attempt::outside);
        EXPECT_EQ(b.bias(), 0.0);
        EXPECT_FALSE(b.update_flag());
        EXPECT_TRUE(std::isnan(b.current_lab_data()));
    }
}

TEST(BiasUpdate, LooksUpTheNewestPredictionAtOrBeforeTheLabTime) {
    BiasUpdate b(1e-6, 6, 2);
    b.run(0.0, 0.0, -1.0, 100.0, std::nullopt); // stamps -200, -140, ..., 100
    b.run(1.0, 0.0, 0.0, 110.0, 0.0);
    b.run(2.0, 0.0, 0.0, 110.0, 0.0); // same stamp: the later one wins
    b.run(3.0, 0.0, 0.0, 120.0, 0.0);
    // stamps: -20 40 100 110 110 120; predictions 0 0 0 1 2 3
    const double cases[][2] = {
        {-20.0, 0.0}, {105.0, 0.0}, {110.0, 2.0}, {119.9, 2.0}, {120.0, 3.0}};
    double lab = 10.0;
    for (const auto& c : cases) {
        EXPECT_EQ(b.update_bias(lab, c[0]), Attempt::updated);
        EXPECT_EQ(b.prd_data_at_labtime(), c[1]) << c[0];
        EXPECT_EQ(b.bias(), lab - c[1]);
        lab += 1.0;
    }
}

TEST(BiasUpdate, RepeatedResultIsNotTakenAgain) {
    BiasUpdate b(0.01, 4, 3);
    b.run(5.0, 7.0, 1000.0, 1000.0, std::nullopt);
    EXPECT_EQ(b.run(5.5, 7.005, 1000.05, 1060.0, 1.0).attempt, Attempt::unchanged);
    EXPECT_FALSE(b.update_flag());
    EXPECT_EQ(b.bias(), 2.0);
    // A new time with the same value is a new result.
    EXPECT_EQ(b.run(5.5, 7.0, 1060.0, 1120.0, 1.0).attempt, Attempt::updated);
    EXPECT_EQ(b.bias(), 1.5);
}

TEST(BiasUpdate, TriggerAboveOneHalf) {
    BiasUpdate b(1e-6, 4, 3);
    b.run(5.0, 7.0, 0.0, 1000.0, std::nullopt);
    EXPECT_EQ(b.run(5.0, 8.0, 1000.0, 1060.0, 0.5).attempt, Attempt::none);
    EXPECT_EQ(b.run(5.0, 8.0, 1000.0, 1120.0, 0.51).attempt, Attempt::updated);
    EXPECT_EQ(b.bias(), 3.0);
}

TEST(BiasUpdate, AutomaticUpdateWhenTheValueHasSettled) {
    BiasUpdate b(1e-6, 100, 62);
    std::vector<int> hits;
    for (int i = 0; i < 200; ++i) {
        const double lab = i < 20 ? 1.0 : 4.0;
        if (b.run(static_cast<double>(i), lab, 1000.0 + 60.0 * 15, 1000.0 + 60.0 * i, std::nullopt)
                .attempt == Attempt::updated)
            hits.push_back(i);
    }
    EXPECT_EQ(hits, std::vector<int>{80});
    EXPECT_EQ(b.prd_data_at_labtime(), 15.0);
    EXPECT_EQ(b.bias(), 4.0 - 15.0);
}

TEST(BiasUpdate, EmptyHistoryAndRestore) {
    BiasUpdate b(1e-6, 0, 2); // keeps no predictions: every call is a first call
    EXPECT_THROW(b.update_bias(1.0, 1.0), std::out_of_range);
    EXPECT_THROW(b.run(1.0, 1.0, 1.0, 1.0, std::nullopt), std::out_of_range);

    BiasUpdate c(1e-6, 3, 2);
    c.restore({1.0, 2.0, 3.0}, {10.0, 20.0, 30.0}, {4.0, 4.0});
    EXPECT_EQ(c.update_bias(9.0, 25.0), Attempt::updated);
    EXPECT_EQ(c.bias(), 7.0);
    EXPECT_THROW(c.restore({1.0}, {}, {}), std::invalid_argument);
}

// Saved histories restore bit for bit, whatever the values; bytes that are no
// whole history of the capacity are refused.
TEST(HistoryBytes, RoundTripAndRefusals) {
    const double samples[] = {
        0.0,   -0.0,     1.5,       -2.25e-310,
        1e308, INFINITY, -INFINITY, std::bit_cast<double>(std::uint64_t{0x7ff8dead0000beefULL})};
    std::string bytes;
    for (double v : samples)
        korvel::append_le64(bytes, v);
    ASSERT_EQ(bytes.size(), 64u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[8 * 2 + 6]), 0xf8); // 1.5, little-endian
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::vector<double> back = korvel::read_le64({p, bytes.size()}, 8);
    ASSERT_EQ(back.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(back[i]), std::bit_cast<std::uint64_t>(samples[i]));
    EXPECT_THROW(korvel::read_le64({p, 63}, 8), std::invalid_argument);
    EXPECT_THROW(korvel::read_le64({p, 64}, 7), std::invalid_argument);
}
