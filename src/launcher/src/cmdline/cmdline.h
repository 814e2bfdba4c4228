#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "launcher/src/cmdline/number_reader.h"

// The launcher's option parser. It never prints, never exits and never throws for a bad command
// line: every problem becomes a message in problems(), and an option that is missing, misspelt or
// malformed simply counts as not given. The launcher is started by many outside callers whose
// option sets overlap, and each action parses the whole command line against only the options it
// knows, so this tolerance is what lets them coexist.
namespace cmdline {

// Turns the text of an option value into its type; an empty result refuses the text.
template <typename T>
struct default_reader;

template <>
struct default_reader<std::u16string> {
  std::optional<std::u16string> operator()(const std::u16string& text) const { return text; }
};

template <>
struct default_reader<bool> {
  std::optional<bool> operator()(const std::u16string& text) const { return read_bool(text); }
};

template <>
struct default_reader<std::int32_t> {
  std::optional<std::int32_t> operator()(const std::u16string& text) const {
    return read_int32(text);
  }
};

namespace detail {

template <typename T>
std::u16string type_name() {
  if constexpr (std::is_same_v<T, std::u16string>) {
    return u"string";
  } else if constexpr (std::is_same_v<T, bool>) {
    return u"bool";
  } else {
    static_assert(std::is_same_v<T, std::int32_t>, "options are text, bool or int");
    return u"int";
  }
}

template <typename T>
std::u16string default_text(const T& value) {
  if constexpr (std::is_same_v<T, std::u16string>) {
    return value;
  } else {
    return to_text(static_cast<std::int32_t>(value));
  }
}

}  // namespace detail

class parser {
 public:
  class option_base {
   public:
    virtual ~option_base() = default;
    virtual bool takes_value() const = 0;
    // Gives the option a value from text; false (and no change) when the text is refused.
    virtual bool assign(const std::u16string& text) = 0;
    // Gives the option without a value; false for options that need one.
    virtual bool assign() = 0;
    virtual bool was_given() const = 0;
    // False only for a required option that was not given.
    virtual bool is_satisfied() const = 0;
    virtual bool is_required() const = 0;
    virtual const std::u16string& long_name() const = 0;
    virtual char16_t short_letter() const = 0;  // 0 for none
    virtual const std::u16string& help_text() const = 0;
    virtual std::u16string brief_text() const = 0;
  };

  template <typename T>
  class option_with_value : public option_base {
   public:
    option_with_value(std::u16string name, char16_t short_letter, bool required,
                      const std::u16string& description, T default_value)
        : name_(std::move(name)),
          short_letter_(short_letter),
          required_(required),
          description_(compose_description(description, required, default_value)),
          default_(default_value),
          current_(std::move(default_value)) {}

    bool takes_value() const override { return true; }
    bool assign(const std::u16string& text) override {
      std::optional<T> converted = convert(text);
      if (!converted) return false;
      current_ = std::move(*converted);
      given_ = true;
      return true;
    }
    bool assign() override { return false; }
    bool was_given() const override { return given_; }
    bool is_satisfied() const override { return !(required_ && !given_); }
    bool is_required() const override { return required_; }
    const std::u16string& long_name() const override { return name_; }
    char16_t short_letter() const override { return short_letter_; }
    const std::u16string& help_text() const override { return description_; }
    std::u16string brief_text() const override {
      return u"--" + name_ + u"=" + detail::type_name<T>();
    }

    // The current value: the default until a parse assigns one.
    const T& value() const { return current_; }

   protected:
    virtual std::optional<T> convert(const std::u16string& text) const = 0;

   private:
    static std::u16string compose_description(const std::u16string& description, bool required,
                                              const T& default_value) {
      std::u16string text = description + u" (" + detail::type_name<T>();
      if (!required) text += u" [=" + detail::default_text(default_value) + u"]";
      return text + u")";
    }

    std::u16string name_;
    char16_t short_letter_;
    bool required_;
    std::u16string description_;
    bool given_ = false;
    T default_;
    T current_;
  };

  template <typename T, typename Reader>
  class option_with_value_with_reader final : public option_with_value<T> {
   public:
    using option_with_value<T>::option_with_value;

   protected:
    std::optional<T> convert(const std::u16string& text) const override { return reader_(text); }

   private:
    Reader reader_;
  };

  class option_without_value final : public option_base {
   public:
    option_without_value(std::u16string name, char16_t short_letter, std::u16string description)
        : name_(std::move(name)),
          short_letter_(short_letter),
          description_(std::move(description)) {}

    bool takes_value() const override { return false; }
    bool assign(const std::u16string&) override { return false; }
    bool assign() override {
      given_ = true;
      return true;
    }
    bool was_given() const override { return given_; }
    bool is_satisfied() const override { return true; }
    bool is_required() const override { return false; }
    const std::u16string& long_name() const override { return name_; }
    char16_t short_letter() const override { return short_letter_; }
    const std::u16string& help_text() const override { return description_; }
    std::u16string brief_text() const override { return u"--" + name_; }

   private:
    std::u16string name_;
    char16_t short_letter_;
    std::u16string description_;
    bool given_ = false;
  };

  parser() = default;
  parser(const parser&) = delete;
  parser& operator=(const parser&) = delete;
  parser(parser&&) = default;
  parser& operator=(parser&&) = default;

  // A required value option without a short letter: the form every launcher option takes.
  // False, changing nothing, when the name is taken.
  template <typename T>
  bool declare_option(const std::u16string& name, const std::u16string& description,
                      const T& default_value) {
    return declare_option<T>(name, 0, true, description, default_value);
  }

  // The general form, with a short letter (0 for none) and a choice of required.
  template <typename T>
  bool declare_option(const std::u16string& name, char16_t short_letter, bool required,
                      const std::u16string& description, const T& default_value) {
    return add(std::make_unique<option_with_value_with_reader<T, default_reader<T>>>(
        name, short_letter, required, description, default_value));
  }

  bool declare_flag(const std::u16string& name, const std::u16string& description,
                    char16_t short_letter = 0);

  // Parses argv[0] .. argv[argc - 1]; argv[0] is the program. Empties problems() and leftovers()
  // first, but keeps what earlier parses gave the options. True when no problem was found.
  bool parse_arguments(int argc, const char16_t* const* argv);
  bool parse_arguments(const std::vector<std::u16string>& arguments);

  // False for an undeclared name; no problem is recorded for asking.
  bool is_given(std::u16string_view name) const;

  // The option's current value (its default when not given); empty when no option of that name
  // and type is declared.
  template <typename T>
  std::optional<T> value_of(std::u16string_view name) const {
    const auto* option = dynamic_cast<const option_with_value<T>*>(find(name));
    if (option == nullptr) return std::nullopt;
    return option->value();
  }

  const std::vector<std::u16string>& leftovers() const { return leftovers_; }
  const std::vector<std::u16string>& problems() const { return problems_; }
  const std::u16string& program_name() const { return program_name_; }
  const std::vector<option_base*>& declaration_order() const { return declaration_order_; }

 private:
  bool add(std::unique_ptr<option_base> option);
  option_base* find(std::u16string_view name) const;
  void apply_option(const std::u16string& name);
  void apply_option(const std::u16string& name, const std::u16string& value);

  std::map<std::u16string, std::unique_ptr<option_base>, std::less<>> options_;
  std::vector<option_base*> declaration_order_;
  std::u16string footer_;
  std::u16string program_name_;
  std::vector<std::u16string> leftovers_;
  std::vector<std::u16string> problems_;
};

}  // namespace cmdline
