// The command line of the zel tools: one parser for GNU-style options, and the checks of the
// values the tools share. Each tool describes its options in an OptionTable over its own
// Options record.
#pragma once

#include <arpa/inet.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zeltool {

// True when `text` is a whole decimal integer that fits in 64 bits.
inline bool to_int64(const std::string &text, int64_t *value) {
  if (text.empty()) return false;
  char *end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

template <class Options>
struct OptionTable {
  // One option's value check and store; returns "" or the reason the value is refused.
  using Setter = std::function<std::string(const std::string &, Options *)>;
  std::map<std::string, Setter> values;          // long names of options with a value
  std::map<std::string, bool Options::*> flags;  // long names of options without one
  std::map<char, std::string> letters;           // short letter -> long name
};

// An integer option within [low, high].
template <class Options>
typename OptionTable<Options>::Setter int_setter(const char *name, int64_t low, int64_t high,
                                                 int Options::*field) {
  return [=](const std::string &text, Options *o) -> std::string {
    int64_t v = 0;
    if (!to_int64(text, &v) || v < low || v > high) {
      return std::string("invalid ") + name + " '" + text + "' (" + std::to_string(low) + " to " +
             std::to_string(high) + ")";
    }
    o->*field = static_cast<int>(v);
    return "";
  };
}

// -D, --address: a dotted IPv4 address.
template <class Options>
std::string set_address(const std::string &text, Options *o) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) {
    return "invalid address '" + text + "' (dotted IPv4, e.g. 127.0.0.2)";
  }
  o->address = text;
  return "";
}

// -r, --rate: one of the array's two rates.
template <class Options>
std::string set_rate(const std::string &text, Options *o) {
  if (text != "22050" && text != "44100") {
    return "invalid rate '" + text + "': the array runs at 22050 or 44100 Hz";
  }
  o->rate = std::stoi(text);
  return "";
}

// Parses `args` (without the program name) into *options: "--name", "--name=value",
// "--name value", "-q", "-d3", "-d 3", "-qd 3"; "--" ends the options and "-" is an operand.
// Operands go to *operands in order. Returns "" or a one-line message.
template <class Options>
std::string parse_options(const std::vector<std::string> &args, const OptionTable<Options> &table,
                          Options *options, std::vector<std::string> *operands) {
  size_t i = 0;
  auto take_value = [&](const std::string &name, const std::string &spelled) -> std::string {
    if (i + 1 >= args.size()) return "option " + spelled + " needs a value";
    return table.values.at(name)(args[++i], options);
  };
  auto long_option = [&](const std::string &body) -> std::string {
    const size_t eq = body.find('=');
    const std::string name = body.substr(0, eq);
    if (auto flag = table.flags.find(name); flag != table.flags.end()) {
      if (eq != std::string::npos) return "option --" + name + " takes no value";
      options->*(flag->second) = true;
      return "";
    }
    if (table.values.count(name) == 0) return "unknown option '--" + name + "'";
    if (eq != std::string::npos) return table.values.at(name)(body.substr(eq + 1), options);
    return take_value(name, "--" + name);
  };
  auto short_options = [&](const std::string &letters) -> std::string {
    for (size_t k = 0; k < letters.size(); ++k) {
      const auto letter = table.letters.find(letters[k]);
      if (letter == table.letters.end()) {
        return std::string("unknown option '-") + letters[k] + "'";
      }
      const std::string &name = letter->second;
      if (auto flag = table.flags.find(name); flag != table.flags.end()) {
        options->*(flag->second) = true;
        continue;
      }
      if (k + 1 < letters.size()) return table.values.at(name)(letters.substr(k + 1), options);
      return take_value(name, std::string("-") + letters[k]);
    }
    return "";
  };

  bool only_operands = false;
  for (i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    std::string why;
    if (arg == "--") {
      only_operands = true;
    } else if (only_operands || arg == "-" || arg.empty() || arg[0] != '-') {
      operands->push_back(arg);
    } else if (arg.rfind("--", 0) == 0) {
      why = long_option(arg.substr(2));
    } else {
      why = short_options(arg.substr(1));
    }
    if (!why.empty()) return why;
  }
  return "";
}

}  // namespace zeltool
