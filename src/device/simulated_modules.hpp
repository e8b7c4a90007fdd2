// Simulated I-7017 analog input modules: each input's value source, each
// module's fault, and the DCON reply the modules give to a request line.
// One set of rules for both ways of simulating a line: `i7000-sim` on a
// pseudo-terminal and the in-process line (simulated_poller.hpp), so the
// same seed gives the same readings and a fault the same result either way.
#pragma once
#include "core/injected_faults.hpp"
#include "device/dcon.hpp"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

// Where one input's value comes from.
struct ValueSource {
  enum Kind { constant, sine, ramp, walk, alternate } kind = sine;
  // const: a; sine: mid, amplitude, period s; ramp: from, to, period s; walk: start, step;
  // alternate: first, second
  double a = 10, b = 8, c = 20;
  // A walk's steps come from splitmix64: eight bytes of state per input
  // (thousands of stations' modules live in one fleet process), and the
  // same steps for a seed on every platform and library.
  std::uint64_t rng = 0;
  double walk_value = 0;

  // The value at `t` seconds since the modules started; a walk takes one
  // step per call, an alternation one turn (so it changes at every reading,
  // however late or early the reading comes).
  double value(double t);
};

// "const:V", "sine:MID:AMP:PERIOD_S", "ramp:FROM:TO:PERIOD_S" or
// "walk:START:STEP" (seeded by `seed`) or "alternate:A:B"; throws std::invalid_argument.
ValueSource parse_value_source(std::string_view text, std::uint64_t seed);
// The source as parse_value_source reads it ("sine:10:8:60"); a walk by its
// start and step.
std::string value_source_text(const ValueSource& source);
// The seed of one input's walk: every input of every module walks its own way.
std::uint64_t input_seed(std::uint64_t seed, int address, int input);

enum class ModuleFault { none, silent, garbage, badsum, error };
// "none", "silent", "garbage", "badsum" or "error"; throws std::invalid_argument.
ModuleFault parse_module_fault(std::string_view text);

struct SimulatedModule {
  std::array<ValueSource, kAnalogInputs> inputs{};
  ModuleFault fault = ModuleFault::none;
  int delay_ms = 0;  // this module's replies this much later (the line's delay_ms counts too)
};
// Every input a sine around 10 of its own pace.
SimulatedModule default_simulated_module();

// A module address as the modules' bus takes it: hex, 0..FF; throws
// std::invalid_argument.
int parse_module_address(std::string_view hex);

// One reading as an I-7017 in engineering units writes it: "+05.123".
std::string module_reading_text(double value);

// The modules on one line.
struct SimulatedModules {
  std::map<int, SimulatedModule> modules;
  bool checksum = false;  // the modules expect and append DCON checksums
  int delay_ms = 0;  // every reply this much later

  // A module at `address` (hex, 0..FF) with the default inputs.
  void add_module(std::string_view address);
  // "ADDR:N=SOURCE": input N (0..7, or * for all) of module ADDR takes the
  // value source, walks seeded by `seed`, the module and the input.
  void set_input(std::string_view setting, std::uint64_t seed);
  // "ADDR=KIND": the module's fault.
  void set_fault(std::string_view setting);
  // The three throw std::invalid_argument for a bad text and
  // std::out_of_range for a module not added.

  // The reply (CR included) to one request line (without its CR), or
  // nothing: silence, as from a module that is not there, is silent, or
  // got a request with a bad checksum.
  std::optional<std::string> answer(std::string_view line, double t);
  // A change while running: "A N V" (module A, input N := constant V),
  // "fault A KIND", "delay MS". The text to report: "ok LINE" or
  // "error LINE: why".
  std::string command(std::string_view line);

  // The later of the line's and the module's reply delay.
  int reply_delay_ms(int address) const;
  // Every module's fault and delay as the module faults of `faults` say,
  // none where they say nothing. Their kinds must have been checked
  // (check_module_fault); faults of modules not on the line are left out.
  void apply_faults(const FaultSet& faults);
};

// Why `fault` can't be set on `modules` (an unknown kind or module), or empty.
std::string check_module_fault(const SimulatedModules& modules, const InjectedFault& fault);

}  // namespace orvane
