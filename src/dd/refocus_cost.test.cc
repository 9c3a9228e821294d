#include "dd/refocus_cost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <numbers>
#include <random>
#include <vector>

namespace vornak {
namespace {

using Centres = std::vector<double>;

// A stretch with its candidates nested, as the cases write it.
struct Stretch {
  std::size_t qubit;
  double begin;
  double end;
  std::vector<Centres> candidates;
};

DdCostStretches flat(const std::vector<Stretch>& stretches) {
  DdCostStretches out;
  for (const Stretch& st : stretches) {
    out.add_stretch(st.qubit, st.begin, st.end);
    for (const Centres& centres : st.candidates) {
      out.add_candidate();
      for (double t : centres) out.add_centre(t);
    }
  }
  return out;
}

// ∫ s over [a, b] by sampling the sign on a fine grid: the definition, not the code.
double sampled(double a, double b, const Centres& flips) {
  const int samples = 100000;
  const double dt = (b - a) / samples;
  double sum = 0.0;
  for (int i = 0; i < samples; ++i) {
    const double x = a + (i + 0.5) * dt;
    int before = 0;
    for (double f : flips) before += f > a && f < b && x > f;
    sum += before % 2 ? -dt : dt;
  }
  return sum;
}

TEST(RefocusCost, TheSignIntegralIsTheTogglingFramesPhase) {
  // Closed forms: bare L; one pulse in the middle 0; a pair at L/4, 3L/4 0; one pulse at t
  // leaves (t - a) - (b - t).
  EXPECT_DOUBLE_EQ(dd_sign_integral(0, 1000, {}), 1000.0);
  EXPECT_DOUBLE_EQ(dd_sign_integral(0, 1000, Centres{500.0}), 0.0);
  EXPECT_DOUBLE_EQ(dd_sign_integral(200, 1000, Centres{400.0, 800.0}), 0.0);
  EXPECT_DOUBLE_EQ(dd_sign_integral(0, 1000, Centres{300.0}), -400.0);
  // Flips outside (a, b), or on its ends, change nothing.
  EXPECT_DOUBLE_EQ(dd_sign_integral(100, 200, Centres{0.0, 100.0, 200.0, 900.0}), 100.0);
  const Centres odd{130.0, 410.0, 455.0, 790.0, 1200.0};
  EXPECT_NEAR(dd_sign_integral(0, 1000, odd), sampled(0, 1000, odd), 0.05);
}

TEST(RefocusCost, ThePairsBreakEvenLengthAndTheErrorBeyondDecoherence) {
  // 20 kHz of detuning, in rad/ns: <δ²> = (2π · 2e-5)²; e = 5e-4: √(8e) / δ.
  const double delta = 2 * std::numbers::pi * 20e3 * 1e-9;
  EXPECT_NEAR(dd_pair_break_even(5e-4, delta * delta), std::sqrt(8 * 5e-4) / delta, 1e-9);
  EXPECT_NEAR(dd_pair_break_even(5e-4, delta * delta), 503.3, 0.1);
  EXPECT_EQ(dd_pair_break_even(0.0, delta * delta), 0.0);
  EXPECT_TRUE(std::isinf(dd_pair_break_even(1e-4, 0.0)));
  // 32 ns at T1 = 200 µs, T2 = 150 µs: 1 - (3 + 2 e^(-τ/T2) + e^(-τ/T1)) / 6 of the error is
  // decoherence the idle qubit has anyway.
  const double coherence =
      1 - (3 + 2 * std::exp(-32.0 / 150e3) + std::exp(-32.0 / 200e3)) / 6;
  EXPECT_NEAR(coherence, 32.0 / (3 * 150e3) + 32.0 / (6 * 200e3), 1e-8);
  EXPECT_NEAR(dd_error_beyond_decoherence(5e-4, 32, 200e3, 150e3), 5e-4 - coherence, 1e-15);
  EXPECT_EQ(dd_error_beyond_decoherence(5e-5, 32, 200e3, 150e3), 0.0);
  // A T1 or T2 the snapshot lacks (0, infinity) decays nothing.
  EXPECT_NEAR(dd_error_beyond_decoherence(5e-4, 32, 0.0, 150e3),
              5e-4 - (1 - (4 + 2 * std::exp(-32.0 / 150e3)) / 6), 1e-15);
  EXPECT_EQ(dd_error_beyond_decoherence(5e-4, 32, INFINITY, INFINITY), 5e-4);
}

// One qubit, one stretch [0, L]: the plain pair, or nothing.
std::size_t lone_choice(double length, double error, double variance) {
  DdCostModel model;
  model.qubits.resize(1);
  model.qubits[0].detuning_variance = variance;
  model.qubits[0].pulse_error = error;
  const std::vector<Stretch> stretches{
      {0, 0.0, length, {Centres{length / 4, 3 * length / 4}, Centres{}}}};
  return dd_choose_candidates(model, flat(stretches), 1)[0];
}

TEST(RefocusCost, APairGoesWhereItPaysForItself) {
  const double delta = 2 * std::numbers::pi * 20e3 * 1e-9;
  const double variance = delta * delta, e = 3e-4;
  const double even = dd_pair_break_even(e, variance);
  EXPECT_EQ(lone_choice(even * 1.02, e, variance), 0u);
  EXPECT_EQ(lone_choice(even * 0.98, e, variance), 1u);
  // A perfectly calibrated pulse pays everywhere; without detuning none does.
  EXPECT_EQ(lone_choice(64.0, 0.0, variance), 0u);
  EXPECT_EQ(lone_choice(1e6, e, 0.0), 1u);
}

// Two coupled qubits idle over [0, L], both offered the 2:4 orthogonal patterns (candidate
// 0), the same pair on both (1), and nothing (2).
struct TwoIdle {
  DdCostModel model;
  std::vector<Stretch> stretches;
  TwoIdle(double length, double zeta, double error, double variance) {
    model.qubits.resize(2);
    for (DdCostQubit& q : model.qubits) {
      q.detuning_variance = variance;
      q.pulse_error = error;
    }
    model.edges.push_back({0, 1, zeta});
    const double l = length;
    const Centres pair{l / 4, 3 * l / 4}, four{l / 8, 3 * l / 8, 5 * l / 8, 7 * l / 8};
    stretches.push_back({0, 0.0, l, {pair, pair, {}}});
    stretches.push_back({1, 0.0, l, {four, pair, {}}});
  }
};

TEST(RefocusCost, OrthogonalPatternsWhereTheZZIsWorthTheirPulses) {
  const double delta = 2 * std::numbers::pi * 20e3 * 1e-9, l = 4000.0;
  // The same pair on both leaves ∫ s_0 s_1 = L: ζ²L²/16 of ZZ; the 2:4 patterns leave none.
  for (double khz : {50.0, 5.0, 0.5}) {
    const double zeta = 2 * std::numbers::pi * khz * 1e3 * 1e-9;
    TwoIdle two(l, zeta, 1e-4, delta * delta);
    const std::vector<std::size_t> walsh{0, 0}, plain{1, 1};
    EXPECT_NEAR(dd_choice_score(two.model, flat(two.stretches), plain),
                zeta * zeta * l * l / 16 + 4e-4, 1e-12);
    EXPECT_NEAR(dd_choice_score(two.model, flat(two.stretches), walsh), 6e-4, 1e-12);
    const std::vector<std::size_t> chosen = dd_choose_candidates(two.model, flat(two.stretches), 2);
    SCOPED_TRACE(khz);
    // 2e-4 more of pulses against ζ²L²/16: 1e-1 at 50 kHz, 1e-3 at 5, 1e-5 at 0.5.
    EXPECT_EQ(chosen, khz > 1.0 ? walsh : plain);
  }
}

TEST(RefocusCost, ABusyNeighboursTurnsSplitTheZZAndItsFlipsRefocusIt) {
  // q0 idles bare over [0, L]; q1 is busy throughout, its frame turned or flipped at L/2.
  const double l = 1000.0, zeta = 1e-4;
  DdCostModel model;
  model.qubits.resize(2);
  model.edges.push_back({0, 1, zeta});
  const std::vector<Stretch> stretches{{0, 0.0, l, {Centres{}}}};
  const std::vector<std::size_t> bare{0};
  const double whole = zeta * zeta * l * l / 16;
  EXPECT_NEAR(dd_choice_score(model, flat(stretches), bare), whole, 1e-18);
  model.qubits[1].turns = {l / 2};  // two independent halves
  EXPECT_NEAR(dd_choice_score(model, flat(stretches), bare), whole / 2, 1e-18);
  model.qubits[1].turns = {};
  model.qubits[1].flips = {l / 2};  // the neighbour's x gate echoes the ZZ away
  EXPECT_NEAR(dd_choice_score(model, flat(stretches), bare), 0.0, 1e-18);
  // A neighbour's turns outside the pair's stretches change nothing.
  model.qubits[1].flips = {};
  model.qubits[1].turns = {-5.0, l + 5.0};
  EXPECT_NEAR(dd_choice_score(model, flat(stretches), bare), whole, 1e-18);
}

TEST(RefocusCost, BusyTimeInTheSameFrameAddsToAStretchsPhase) {
  // q0 idles over [0, L/2], then runs diagonal gates (no turn) until L: its detuning phase
  // over the segment is L bare, L/2 with the pair on its stretch. An x gate at 3L/4 echoes
  // the busy half away; a turn at L/2 (an sx) leaves the stretch its own segment.
  const double l = 1000.0, variance = 1e-6;
  DdCostModel model;
  model.qubits.resize(1);
  model.qubits[0].detuning_variance = variance;
  model.end = l;
  const std::vector<Stretch> stretches{{0, 0.0, l / 2, {Centres{l / 8, 3 * l / 8}, {}}}};
  const std::vector<std::size_t> pair{0}, bare{1};
  EXPECT_NEAR(dd_choice_score(model, flat(stretches), bare), variance * l * l / 4, 1e-12);
  EXPECT_NEAR(dd_choice_score(model, flat(stretches), pair), variance * l * l / 16, 1e-12);
  model.qubits[0].flips = {3 * l / 4};
  EXPECT_NEAR(dd_choice_score(model, flat(stretches), bare), variance * l * l / 16, 1e-12);
  EXPECT_NEAR(dd_choice_score(model, flat(stretches), pair), 0.0, 1e-12);
  model.qubits[0].flips = {};
  model.qubits[0].turns = {l / 2 + 10};
  EXPECT_NEAR(dd_choice_score(model, flat(stretches), bare),
              variance * (l / 2 + 10) * (l / 2 + 10) / 4, 1e-12);
  EXPECT_NEAR(dd_choice_score(model, flat(stretches), pair), variance * 100.0 / 4, 1e-12);
}

TEST(RefocusCost, AChoicesScoreIsThePhaseOfEveryFlipInTimeOrder) {
  // Without turns each qubit's detuning and each edge's ZZ is one segment over the whole
  // circuit: its phase is the sign integral over every flip in it, busy flips and the
  // chosen pulses of both qubits (odd counts, shared times and interleaved stretches
  // included), gathered and sorted here, however the score walks them.
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int trial = 0; trial < 100; ++trial) {
    const double l = 4000.0;
    DdCostModel model;
    model.qubits.resize(3);
    model.end = l;
    for (DdCostQubit& q : model.qubits) {
      q.detuning_variance = 1e-8 * u(rng);
      q.pulse_error = 1e-4 * u(rng);
      for (int k = 0; k < 4; ++k) q.flips.push_back(std::round(l * u(rng)));
      std::sort(q.flips.begin(), q.flips.end());
    }
    model.edges = {{0, 1, 1e-3 * u(rng)}, {1, 2, 1e-3 * u(rng)}};
    std::vector<Stretch> stretches;
    std::vector<Centres> flips(3);
    std::vector<std::size_t> choice;
    for (std::size_t q = 0; q < 3; ++q) {
      flips[q] = model.qubits[q].flips;
      for (double t = 50 * u(rng); t < l - 300;) {
        const double begin = t, end = std::min(l, begin + 200 + 900 * u(rng));
        Stretch st{q, begin, end, {}};
        for (int c = 0; c < 3; ++c) {
          Centres centres;
          // Whole ns, so that pulses of neighbours and busy flips meet at the same times.
          for (int j = 0; j < 1 + trial % 3 + c; ++j) {
            centres.push_back(std::round(begin + 1 + (end - begin - 2) * u(rng)));
          }
          std::sort(centres.begin(), centres.end());
          st.candidates.push_back(centres);
        }
        choice.push_back(static_cast<std::size_t>(3 * u(rng)) % 3);
        const Centres& chosen = st.candidates[choice.back()];
        flips[q].insert(flips[q].end(), chosen.begin(), chosen.end());
        stretches.push_back(st);
        t = end + 20 + 200 * u(rng);
      }
    }
    double expected = 0.0;
    for (std::size_t i = 0; i < stretches.size(); ++i) {
      expected += model.qubits[stretches[i].qubit].pulse_error *
                  static_cast<double>(stretches[i].candidates[choice[i]].size());
    }
    for (std::size_t q = 0; q < 3; ++q) {
      std::sort(flips[q].begin(), flips[q].end());
      const double phase = dd_sign_integral(0, l, flips[q]);
      expected += model.qubits[q].detuning_variance / 4 * phase * phase;
    }
    for (const DdCostEdge& edge : model.edges) {
      Centres both = flips[edge.a];
      both.insert(both.end(), flips[edge.b].begin(), flips[edge.b].end());
      std::sort(both.begin(), both.end());
      const double phase = dd_sign_integral(0, l, both);
      expected += edge.zeta * edge.zeta / 16 * phase * phase;
    }
    EXPECT_NEAR(dd_choice_score(model, flat(stretches), choice), expected, expected * 1e-12) << trial;
  }
}

// Qubits on a line with random noise, each with `events` operations at random times in
// [0, length) that turn its frame (a share `turns` of them) or flip it.
DdCostModel random_line(std::mt19937& rng, std::size_t qubits, int events, double length,
                        double turns) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  DdCostModel model;
  model.qubits.resize(qubits);
  for (DdCostQubit& q : model.qubits) {
    q.detuning_variance = 1e-8 * u(rng);
    q.pulse_error = 1e-4 * u(rng);
    for (int k = 0; k < events; ++k) {
      (u(rng) < turns ? q.turns : q.flips).push_back(length * u(rng));
    }
    std::sort(q.turns.begin(), q.turns.end());
    std::sort(q.flips.begin(), q.flips.end());
  }
  for (std::size_t a = 0; a + 1 < qubits; ++a) model.edges.push_back({a, a + 1, 1e-3 * u(rng)});
  return model;
}

// Three stretches after one another on each qubit, each at least `least` long, with the
// candidates `candidates(begin, end)` gives.
template <class Candidates>
std::vector<Stretch> random_stretches(std::mt19937& rng, std::size_t qubits, double least,
                                      Candidates candidates) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<Stretch> stretches;
  for (std::size_t q = 0; q < qubits; ++q) {
    double t = 0.0;
    for (int k = 0; k < 3; ++k) {
      const double begin = t + 300 * u(rng), end = begin + least + (800 + least) * u(rng);
      t = end;
      stretches.push_back({q, begin, end, candidates(begin, end)});
    }
  }
  return stretches;
}

// `count` sorted pulse centres at random in (begin, end).
Centres random_centres(std::mt19937& rng, int count, double begin, double end) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Centres centres;
  for (int j = 0; j < count; ++j) centres.push_back(begin + (end - begin) * u(rng));
  std::sort(centres.begin(), centres.end());
  return centres;
}

TEST(RefocusCost, NoRegionScoresAboveAUniformChoice) {
  // Random qubits on a line with random stretches and candidates: each region's choice
  // scores no more than either uniform choice, whatever the noise.
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t qubits = 2 + trial % 5;
    const DdCostModel model = random_line(rng, qubits, 3, 3000.0, 0.5);
    auto offer = [&](double begin, double end) {
      std::vector<Centres> candidates;
      for (int c = 0; c < 3; ++c) {
        const int m = 2 * (c == 2 ? 0 : 1 + static_cast<int>(3 * u(rng)));
        candidates.push_back(random_centres(rng, m, begin, end));
      }
      return candidates;
    };
    const std::vector<Stretch> stretches = random_stretches(rng, qubits, 100.0, offer);
    const std::vector<std::size_t> chosen = dd_choose_candidates(model, flat(stretches), 2);
    const double score = dd_choice_score(model, flat(stretches), chosen);
    for (std::size_t c : {0u, 1u}) {
      const std::vector<std::size_t> uniform(stretches.size(), c);
      EXPECT_LE(score, dd_choice_score(model, flat(stretches), uniform) * (1 + 1e-12)) << trial;
    }
    // The choice scores each change by the part of each segment it moves; where that is
    // exact, no single change left lowers the whole score.
    for (std::size_t i = 0; i < stretches.size(); ++i) {
      std::vector<std::size_t> other = chosen;
      for (std::size_t k = 0; k < 3; ++k) {
        other[i] = k;
        EXPECT_GE(dd_choice_score(model, flat(stretches), other), score * (1 - 1e-9))
            << trial << " stretch " << i << " candidate " << k;
      }
    }
  }
}

// Which stretches share a segment, as the score cuts them: each qubit's detuning and each
// edge's ZZ is cut at the turns of its frames, and a stretch reaches the segments from the
// one holding its start to the one holding its end.
struct Sharing {
  struct Series {
    std::vector<std::size_t> members;  // by qubit, each qubit's sorted by start
    std::vector<std::pair<std::size_t, std::size_t>> range;  // by member: its segments
  };
  std::vector<Series> series;  // detunings by qubit, then the edges

  Sharing(const DdCostModel& model, const std::vector<Stretch>& stretches) {
    for (std::size_t q = 0; q < model.qubits.size(); ++q) {
      if (model.qubits[q].detuning_variance > 0) add(stretches, {q}, model.qubits[q].turns);
    }
    for (const DdCostEdge& e : model.edges) {
      Centres turns = model.qubits[e.a].turns;
      turns.insert(turns.end(), model.qubits[e.b].turns.begin(), model.qubits[e.b].turns.end());
      if (e.zeta > 0) add(stretches, {e.a, e.b}, turns);
    }
  }

  void add(const std::vector<Stretch>& stretches, const std::vector<std::size_t>& qubits,
           Centres turns) {
    std::sort(turns.begin(), turns.end());
    Series s;
    for (std::size_t q : qubits) {
      for (std::size_t i = 0; i < stretches.size(); ++i) {
        if (stretches[i].qubit != q) continue;
        s.members.push_back(i);
        s.range.emplace_back(
            std::upper_bound(turns.begin(), turns.end(), stretches[i].begin) - turns.begin(),
            std::lower_bound(turns.begin(), turns.end(), stretches[i].end) - turns.begin());
      }
    }
    if (!s.members.empty()) series.push_back(s);
  }

  // The stretches sharing a segment with i (i too), segment after segment.
  std::vector<std::size_t> with(std::size_t i) const {
    std::vector<std::size_t> out;
    for (const Series& s : series) {
      const auto own = std::find(s.members.begin(), s.members.end(), i);
      if (own == s.members.end()) continue;
      const auto [lo, hi] = s.range[own - s.members.begin()];
      for (std::size_t k = lo; k <= hi; ++k) {
        for (std::size_t m = 0; m < s.members.size(); ++m) {
          if (s.range[m].first <= k && k <= s.range[m].second) out.push_back(s.members[m]);
        }
      }
    }
    return out;
  }

  // By stretch, the least stretch joined to it through shared segments.
  std::vector<std::size_t> regions(std::size_t n) const {
    std::vector<std::size_t> region(n);
    std::iota(region.begin(), region.end(), std::size_t{0});
    for (bool changed = true; changed;) {
      changed = false;
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j : with(i)) {
          const std::size_t low = std::min(region[i], region[j]);
          changed = changed || region[i] != low || region[j] != low;
          region[i] = region[j] = low;
        }
      }
    }
    return region;
  }
};

// The choice as dd_choose_candidates() documents it, from whole scores: each region starts
// from its lowest uniform choice, then stretches are looked at in order, each taking the
// candidate that lowers the whole score by more than 1e-12 (the scores here stay below 1),
// and the stretches sharing a segment with one that changed are looked at again, in the
// order of the segments.
std::vector<std::size_t> reference_choice(const DdCostModel& model,
                                          const std::vector<Stretch>& stretches,
                                          std::size_t uniform) {
  const std::size_t n = stretches.size();
  const Sharing sharing(model, stretches);
  const std::vector<std::size_t> region = sharing.regions(n);
  const DdCostStretches flat_stretches = flat(stretches);
  std::vector<std::size_t> choice(n, 0);
  for (std::size_t r = 0; r < n; ++r) {
    double best = INFINITY;
    std::size_t best_c = 0;
    for (std::size_t c = 0; c < uniform; ++c) {
      std::vector<std::size_t> trial = choice;
      for (std::size_t i = 0; i < n; ++i) trial[i] = region[i] == r ? c : choice[i];
      const double score = dd_choice_score(model, flat_stretches, trial);
      if (score < best) best = score, best_c = c;
    }
    for (std::size_t i = 0; i < n; ++i) if (region[i] == r) choice[i] = best_c;
  }
  std::vector<std::size_t> queue(n);
  std::iota(queue.begin(), queue.end(), std::size_t{0});
  std::vector<char> queued(n, 1);
  for (std::size_t head = 0; head < queue.size() && head < 8 * n; ++head) {
    const std::size_t i = queue[head];
    queued[i] = 0;
    const std::vector<Centres>& candidates = stretches[i].candidates;
    double lowest = dd_choice_score(model, flat_stretches, choice);
    std::size_t pick = choice[i];
    for (std::size_t k = 0; k < candidates.size(); ++k) {
      if (std::find(candidates.begin(), candidates.begin() + k, candidates[k]) !=
              candidates.begin() + k ||
          candidates[k] == candidates[choice[i]]) {
        continue;
      }
      std::vector<std::size_t> trial = choice;
      trial[i] = k;
      const double score = dd_choice_score(model, flat_stretches, trial);
      if (score < lowest - 1e-12) lowest = score, pick = k;
    }
    if (pick == choice[i]) continue;
    choice[i] = pick;
    for (std::size_t j : sharing.with(i)) {
      if (!queued[j] && j != i) queued[j] = 1, queue.push_back(j);
    }
  }
  return choice;
}

TEST(RefocusCost, TheChoiceIsTheGreedyChoiceOfWholeScores) {
  // Qubits on a line whose turns cut their stretches into several segments, with candidates
  // that share some or all of their pulses (whole copies, the same pulses in some segments
  // and not in others, the bare stretch twice), each of an even number of pulses, so that
  // scoring a change by the part of each segment it moves is exact: what the choice skips,
  // stops early or reuses as equal must choose as scoring every candidate in whole would.
  std::mt19937 rng(23);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int trial = 0; trial < 150; ++trial) {
    const std::size_t qubits = 2 + trial % 4;
    const DdCostModel model = random_line(rng, qubits, 4, 4000.0, 0.6);
    auto offer = [&](double begin, double end) {
      const Centres first = random_centres(rng, 2 * (1 + static_cast<int>(3 * u(rng))), begin, end);
      // The second moves the pulses of the later half only, or is the first again.
      Centres second = first;
      if (u(rng) < 0.7) {
        for (double& c : second) {
          if (c > (begin + end) / 2) c = (begin + end) / 2 + (end - begin) / 2 * u(rng);
        }
        std::sort(second.begin(), second.end());
      }
      std::vector<Centres> candidates{first, second, {}};
      if (u(rng) < 0.3) candidates.push_back({});
      if (u(rng) < 0.3) candidates.push_back(first);
      return candidates;
    };
    const std::vector<Stretch> stretches = random_stretches(rng, qubits, 200.0, offer);
    EXPECT_EQ(dd_choose_candidates(model, flat(stretches), 2),
              reference_choice(model, stretches, 2))
        << trial;
  }
}

}  // namespace
}  // namespace vornak
