#include "launcher/src/cmdline/cmdline.h"

namespace cmdline {

bool parser::add(std::unique_ptr<option_base> option) {
  const std::u16string& name = option->long_name();
  if (options_.count(name) != 0) return false;
  declaration_order_.push_back(option.get());
  options_.emplace(name, std::move(option));
  return true;
}

bool parser::declare_flag(const std::u16string& name, const std::u16string& description,
                          char16_t short_letter) {
  return add(std::make_unique<option_without_value>(name, short_letter, description));
}

parser::option_base* parser::find(std::u16string_view name) const {
  const auto found = options_.find(name);
  return found == options_.end() ? nullptr : found->second.get();
}

bool parser::is_given(std::u16string_view name) const {
  const option_base* option = find(name);
  return option != nullptr && option->was_given();
}

void parser::apply_option(const std::u16string& name) {
  option_base* option = find(name);
  if (option == nullptr) {
    problems_.push_back(u"undefined option: --" + name);
  } else if (!option->assign()) {
    problems_.push_back(u"option needs value: --" + name);
  }
}

void parser::apply_option(const std::u16string& name, const std::u16string& value) {
  option_base* option = find(name);
  if (option == nullptr) {
    problems_.push_back(u"undefined option: --" + name);
  } else if (!option->assign(value)) {
    problems_.push_back(u"option value is invalid: --" + name + u"=" + value);
  }
}

bool parser::parse_arguments(const std::vector<std::u16string>& arguments) {
  std::vector<const char16_t*> argv;
  argv.reserve(arguments.size());
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  return parse_arguments(static_cast<int>(argv.size()), argv.data());
}

bool parser::parse_arguments(int argc, const char16_t* const* argv) {
  problems_.clear();
  leftovers_.clear();
  if (argc < 1) {
    problems_.push_back(u"argument number must be longer than 0");
    return false;
  }
  if (program_name_.empty()) program_name_ = argv[0];

  std::map<char16_t, std::u16string> short_names;
  for (const auto& [name, option] : options_) {
    const char16_t letter = option->short_letter();
    if (name.empty() || letter == 0) continue;
    const auto [entry, inserted] = short_names.emplace(letter, name);
    if (!inserted) {
      entry->second.clear();
      problems_.push_back(u"short option '" + std::u16string(1, letter) + u"' is ambiguous");
      return false;
    }
  }

  // The mapped name of a short letter, or nothing (with its problem recorded).
  const auto short_name = [&](char16_t letter) -> const std::u16string* {
    const auto found = short_names.find(letter);
    if (found == short_names.end()) {
      problems_.push_back(u"undefined short option: -" + std::u16string(1, letter));
      return nullptr;
    }
    if (found->second.empty()) {
      problems_.push_back(u"ambiguous short option: -" + std::u16string(1, letter));
      return nullptr;
    }
    return &found->second;
  };

  for (int i = 1; i < argc; ++i) {
    const std::u16string_view argument(argv[i]);
    if (argument.substr(0, 2) == u"--") {
      const std::size_t equals = argument.find(u'=', 2);
      if (equals != std::u16string_view::npos) {
        apply_option(std::u16string(argument.substr(2, equals - 2)),
                     std::u16string(argument.substr(equals + 1)));
        continue;
      }
      const std::u16string name(argument.substr(2));
      const option_base* option = find(name);
      if (option == nullptr) {
        problems_.push_back(u"undefined option: --" + name);
      } else if (!option->takes_value()) {
        apply_option(name);
      } else if (i + 1 < argc) {
        // The next argument is the value whatever it looks like, even another option.
        apply_option(name, argv[++i]);
      } else {
        problems_.push_back(u"option needs value: --" + name);
      }
    } else if (argument.substr(0, 1) == u"-") {
      if (argument.size() == 1) continue;
      for (std::size_t k = 1; k + 1 < argument.size(); ++k) {
        if (const std::u16string* name = short_name(argument[k])) apply_option(*name);
      }
      const std::u16string* name = short_name(argument.back());
      if (name == nullptr) continue;
      if (i + 1 < argc && find(*name)->takes_value()) {
        apply_option(*name, argv[++i]);
      } else {
        apply_option(*name);
      }
    } else {
      leftovers_.emplace_back(argument);
    }
  }

  for (const auto& [name, option] : options_) {
    if (!option->is_satisfied()) problems_.push_back(u"need option: --" + name);
  }
  return problems_.empty();
}

}  // namespace cmdline
