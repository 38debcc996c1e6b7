// SPDX-License-Identifier: MIT
// What a row of tarvio-render's option table is made of. The rows themselves
// are in Options.h, beside the Options they fill in: each row names an
// option, its argument and what it takes, says what it does in one line (for
// --help) and at length (for the manual page), and turns its text into
// Options. The command line, --help, the manual page's OPTIONS section and
// the bash completion are all made from the rows.
#ifndef TARVIO_RENDER_OPTIONTABLE_H
#define TARVIO_RENDER_OPTIONTABLE_H

#include <string>
#include <utility>
#include <vector>

namespace tarvio::render {

struct Options;

// A value sweeping from `init` to `end` over the file: a rotation's
// frequency in Hz, an elevation in degrees.
struct Sweep {
    double init = 0.0;
    double end = 0.0;
};

// The text an option was given, and the ways to read it. Each reader throws
// the command line's usage error, naming the option and the text:
// "--blur: must lie in [0, 10]: \"1e155\"".
class Arg {
  public:
    Arg(std::string option, std::string text)
        : option_(std::move(option)), text_(std::move(text)) {}

    const std::string& option() const { return option_; }
    const std::string& text() const { return text_; }
    // A finite number, blanks around it allowed; one too small to hold
    // (1e-400) is taken as the nearest the program holds.
    double number() const;
    // A number in [low, high]; `unit` follows the range in the message
    // (" dB": "must lie in [0, 60] dB").
    double numberIn(double low, double high, const char* unit = "") const;
    // A number above 0.
    double positive() const;
    // An angle in degrees as a turn of the circle: -90 is 270, 450 is 90;
    // 0 to 360 stay as they are.
    double angle() const;
    // "F" or "F:F_END".
    Sweep sweep() const;
    // A sweep whose two ends lie in [low, high], as numberIn.
    Sweep sweepIn(double low, double high, const char* unit = "") const;
    // Refuses the text for `why`: "--plot: the picture is an SVG file; ...".
    [[noreturn]] void refuse(const std::string& why) const;

  private:
    std::string option_;
    std::string text_;
};

// One value an option takes, and what it is in plain text (for the manual
// page; may be empty).
struct Choice {
    std::string name;
    std::string about;
};
using Choices = std::vector<Choice> (*)();

// What an option's argument takes: what the command line checks, what
// --help and the manual page list and what the bash completion offers.
struct Offer {
    enum Kind {
        Nothing,       // a number: the completion offers nothing
        Files,         // a file name (with `extension`, only such files and folders)
        OneOf,         // exactly one of `values`; anything else is refused
        Words,         // the completion offers `values`; the row checks the text
        WordsOrFiles,  // one of `values` (patterns like "ring:N[:FIRST]" too) or a file
    };
    Kind kind = Nothing;
    Choices values = nullptr;
    const char* extension = "";

    static Offer nothing() { return {Nothing, nullptr, ""}; }
    static Offer files(const char* extension = "") { return {Files, nullptr, extension}; }
    static Offer oneOf(Choices values) { return {OneOf, values, ""}; }
    static Offer words(Choices values) { return {Words, values, ""}; }
    static Offer wordsOrFiles(Choices values) { return {WordsOrFiles, values, ""}; }
    // Whether --help and the manual page show the values in place of the
    // argument's name.
    bool listsValues() const { return kind == OneOf || kind == WordsOrFiles; }
};

// The groups --help and the manual page show the options in, in this order.
enum class OptionGroup { Motion, Levels, Rig, File, Report, Program };
const char* groupTitle(OptionGroup group);

// How an option's text becomes Options; null for --help and --version,
// which the command line answers itself.
using Setter = void (*)(Options& options, const Arg& arg);

struct OptionRow {
    enum Kind {
        Value,     // takes an argument: "--gain DB"
        Optional,  // its argument only follows '='; bare, it takes `bare`
        Flag,      // no argument
        Help,      // prints --help
        Version,   // prints the version
    };
    Kind kind;
    std::string names;     // "-q,--quiet": the short names, then the long one
    std::string argument;  // "DB", "FILE.csv"; "" for a flag
    std::string bare;      // the value of a bare Optional option
    OptionGroup group;
    std::string help;  // one line for --help
    // The manual page's description, in plain text: a blank line starts a
    // new paragraph, *word* is bold and <word> italic; anything else is
    // taken as it stands (the manual page escapes what roff would read).
    // The values of the offer, with what each is, follow the first
    // paragraph.
    std::string manual;
    Offer offer;
    Setter set;

    // "--quiet": the name the messages use.
    std::string longName() const;
    // Every name: {"-q", "--quiet"}.
    std::vector<std::string> allNames() const;
};

// Rows of each kind, so that the table reads as a list of options.
OptionRow option(const char* names, const char* argument, OptionGroup group, std::string help,
                 std::string manual, Offer offer, Setter set);
OptionRow optionalValue(const char* names, const char* argument, std::string bare,
                        OptionGroup group, std::string help, std::string manual, Offer offer,
                        Setter set);
OptionRow flag(const char* names, OptionGroup group, std::string help, std::string manual,
               Setter set);
OptionRow helpFlag(const char* names, std::string help, std::string manual);
OptionRow versionFlag(const char* names, std::string help, std::string manual);

// The values of the tables the options name, in table order.
std::vector<Choice> lawChoices();     // panLaws(), with their summaries
std::vector<Choice> layoutChoices();  // layoutNames(), with the loudspeakers
std::vector<Choice> formatChoices();  // outputFormats(), with extensions
std::vector<Choice> sampleChoices();  // sampleFormats() that --bits takes
// How the output formats order and declare the channels, and which of them
// cannot pass 4 GB, from the format table: for --help and the manual page.
std::string channelOrderNotes();
// "1", "2", ... "last": the whole numbers from `first` to `last`.
std::vector<Choice> wholeNumbers(int first, int last);
// A number as short as it reads: 0.2, 60, 1e+06.
std::string shortNumber(double v);

namespace detail {
std::string word(double v);  // whole numbers in full: 2822400
inline std::string word(const std::string& s) {
    return s;
}
inline std::string word(const char* s) {
    return s;
}
std::string fill(const std::string& text, const std::vector<std::string>& words);
}  // namespace detail

// `text` with each "{}" replaced by the next of `values` (numbers or text),
// so that a row's text states the limits the code holds:
// fill("0 to {} dB", LawParams::kMaxRolloff).
template <class... T>
std::string fill(const std::string& text, const T&... values) {
    return detail::fill(text, {detail::word(values)...});
}
// "a, b and c": `words` joined by `separator`, the last two by `last` when
// given.
std::string joinedText(const std::vector<std::string>& words, const char* separator,
                       const char* last = nullptr);
// The names of `names` joined by `separator`.
std::string joined(const std::vector<Choice>& names, const char* separator);

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_OPTIONTABLE_H
