// SPDX-License-Identifier: MIT
// Writes what the build makes from the option table (Options.h): the manual
// page, from a template whose @OPTIONS@, @LOUDSPEAKERS@ and @CHANNELS@
// lines become the options by group, the loudspeakers of the built-in
// layouts and how the formats order the channels, and the bash completion. It runs at build time;
// nothing of it is installed.
//   tarvio-render-docs manual TEMPLATE OUTPUT
//   tarvio-render-docs completion OUTPUT
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/Options.h"

namespace tarvio::render {
namespace {

// `text` as roff reads it, with a dash that begins a word as a minus
// (options, negative numbers) and backslashes escaped. With `markup`,
// *word* is bold and <word> italic.
std::string roff(const std::string& text, bool markup) {
    std::string out;
    bool bold = false;
    char previous = ' ';
    for (const char c : text) {
        if (markup && c == '*') {
            bold = !bold;
            out += bold ? "\\fB" : "\\fR";
        } else if (markup && c == '<') {
            out += "\\fI";
        } else if (markup && c == '>') {
            out += bold ? "\\fB" : "\\fR";
        } else if (c == '-' && !std::isalnum(static_cast<unsigned char>(previous))) {
            out += "\\-";
        } else if (c == '\\') {
            out += "\\e";
        } else {
            out += c;
        }
        previous = c;
    }
    return out;
}

// `text` (roff already) as lines of about 78 characters, broken at blanks;
// a line that would begin with a control character is kept from being
// read as a request.
std::string filled(const std::string& text) {
    std::string out, line;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        if (!line.empty() && line.size() + 1 + word.size() > 78) {
            out += line + "\n";
            line.clear();
        }
        if (line.empty() && (word[0] == '.' || word[0] == '\''))
            line = "\\&";
        line += (line.empty() || line == "\\&" ? "" : " ") + word;
    }
    return line.empty() ? out : out + line + "\n";
}

std::vector<std::string> paragraphs(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\n\n", start)) != std::string::npos; start = end + 2)
        out.push_back(text.substr(start, end - start));
    out.push_back(text.substr(start));
    return out;
}

// The tag of a row: "\fB\-\-gain\fR \fIDB\fR", "\fB\-\-law\fR
// \fBbilinear\fR|\fBpower\fR|...".
std::string tag(const OptionRow& row) {
    std::string out;
    for (const std::string& name : row.allNames())
        out += (out.empty() ? "" : ", ") + ("\\fB" + roff(name, false) + "\\fR");
    if (row.kind == OptionRow::Optional)
        return out + "[=\\fI" + roff(row.argument, false) + "\\fR]";
    if (row.argument.empty())
        return out;
    if (!row.offer.listsValues())
        return out + " \\fI" + roff(row.argument, false) + "\\fR";
    std::string values;
    for (const Choice& c : row.offer.values())
        values += (values.empty() ? "" : "|") + ("\\fB" + roff(c.name, false) + "\\fR");
    if (row.offer.kind == Offer::WordsOrFiles)
        values += "|\\fI" + roff(row.argument, false) + "\\fR";
    return out + " " + values;
}

// The values of a row that say what they are, as an indented list.
std::string valueList(const OptionRow& row) {
    if (!row.offer.values)
        return std::string();
    std::string list;
    for (const Choice& c : row.offer.values()) {
        if (!c.about.empty())
            list += ".TP\n\\fB" + roff(c.name, false) + "\\fR\n" + filled(roff(c.about, false));
    }
    return list.empty() ? list : ".RS\n" + list + ".RE\n";
}

// One row: its tag, its first paragraph, its values, its other paragraphs.
std::string manualEntry(const OptionRow& row) {
    std::string out = ".TP\n" + tag(row) + "\n";
    const std::vector<std::string> text = paragraphs(row.manual);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i > 0)
            out += ".IP\n";
        out += filled(roff(text[i], true));
        if (i == 0)
            out += valueList(row);
    }
    return out;
}

std::string optionsSection() {
    std::string out;
    const std::vector<OptionRow>& rows = optionTable();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i == 0 || rows[i].group != rows[i - 1].group)
            out += std::string(".SS ") + groupTitle(rows[i].group) + "\n";
        out += manualEntry(rows[i]);
    }
    return out;
}

// The table --help prints for each built-in layout.
std::string loudspeakersSection() {
    std::string out;
    for (const Choice& c : layoutChoices()) {
        const std::optional<SpeakerLayout> layout =
            c.about.empty() ? std::nullopt : findLayout(c.name);
        if (!layout)
            continue;
        out += ".PP\n\\fB" + roff("--layout " + c.name, false) + "\\fR\n.nf\n";
        std::istringstream lines(speakerTable(*layout));
        for (std::string line; std::getline(lines, line);)
            out += roff(line.substr(line.find_first_not_of(' ')), false) + "\n";
        out += ".fi\n";
    }
    return out;
}

// The page: the template with its markers filled in, its opening comment
// (which speaks of the template) replaced by one that says where the page
// comes from.
std::string manualPage(std::istream& page) {
    std::string out =
        ".\\\" Made by tarvio-render-docs from docs/tarvio-render.1.in and the option table\n"
        ".\\\" of render/Options.h: edit those, not this file.\n";
    bool opening = true;
    for (std::string line; std::getline(page, line);) {
        opening = opening && line.compare(0, 3, ".\\\"") == 0;
        if (opening)
            continue;
        if (line == "@OPTIONS@")
            out += optionsSection();
        else if (line == "@LOUDSPEAKERS@")
            out += loudspeakersSection();
        else if (line == "@CHANNELS@")
            out += filled(roff(channelOrderNotes(), false));
        else
            out += line + "\n";
    }
    return out;
}

// The words of `words` in single quotes, for bash.
std::string quoted(const std::vector<std::string>& words) {
    std::string q = "'";
    for (const char c : joinedText(words, " "))
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// A value as the completion offers it: a pattern ("ring:N[:FIRST]") up to
// its first colon, where the user goes on.
std::string offered(const std::string& name) {
    const std::size_t colon = name.find(':');
    return colon == std::string::npos ? name : name.substr(0, colon + 1);
}

// What the completion offers for a row's value: the body of its case arm.
std::string offerCode(const Offer& offer) {
    std::vector<std::string> words;
    if (offer.values) {
        for (const Choice& c : offer.values())
            words.push_back(offered(c.name));
    }
    switch (offer.kind) {
        case Offer::Nothing:
            break;
        case Offer::Files:
            return std::string("_tarvio_render_files ") + offer.extension + "; return 0";
        case Offer::OneOf:
        case Offer::Words:
            return "_tarvio_render_offer " + quoted(words) + "; return 0";
        case Offer::WordsOrFiles:
            return "_tarvio_render_offer " + quoted(words) + "; _tarvio_render_files; return 0";
    }
    return "return 0";
}

const char* const kCompletionHead = R"(# SPDX-License-Identifier: MIT
# bash completion for tarvio-render, made from its option table by
# tarvio-render-docs: the option names, the values of the options that name
# them, file names where a file is expected (SOFA files for --binaural=, also
# for INPUT and OUTPUT), nothing where a number is.

# Offers the words of $1 that begin with $cur.
_tarvio_render_offer() {
    mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -P "$prefix" -W "$1" -- "$cur")
}

# Offers the file names that begin with $cur: with $1, only those that end
# in .$1, and folders on the way to them.
_tarvio_render_files() {
    compopt -o filenames 2>/dev/null
    if [[ -n ${1-} ]]; then
        mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -P "$prefix" -f -X "!*.$1" -- "$cur"
            compgen -P "$prefix" -d -- "$cur")
    else
        mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -P "$prefix" -f -- "$cur")
    fi
}

_tarvio_render() {
    COMPREPLY=()
    local cur=${COMP_WORDS[COMP_CWORD]} prev= eq= prefix=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # "--law=po": bash usually splits the word at '=' into "--law" "=" "po".
    if [[ $cur == = ]]; then
        cur= eq=1
    elif [[ $prev == = ]] && ((COMP_CWORD >= 2)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]} eq=1
    elif [[ $cur == --*=* ]]; then
        # '=' is not a word break here: keep the option in the completed word.
        prev=${cur%%=*} eq=1
        prefix=$prev=
        cur=${cur#*=}
    fi
)";

// The completion: a case arm for each kind of value, naming the rows that
// take it; a bare option whose value only follows '=' takes none.
std::string completion() {
    std::vector<std::string> arms, names, optional;
    std::vector<std::vector<std::string>> armNames;
    for (const OptionRow& row : optionTable()) {
        for (const std::string& name : row.allNames())
            names.push_back(name);
        if (row.kind != OptionRow::Value && row.kind != OptionRow::Optional)
            continue;
        if (row.kind == OptionRow::Optional)
            optional.push_back(row.longName());
        const std::string code = offerCode(row.offer);
        std::size_t arm = 0;
        while (arm < arms.size() && arms[arm] != code)
            ++arm;
        if (arm == arms.size()) {
            arms.push_back(code);
            armNames.emplace_back();
        }
        armNames[arm].push_back(row.longName());
    }
    std::string out = kCompletionHead;
    if (!optional.empty()) {
        out += "    if [[ -z $eq ]]; then\n        case $prev in\n";
        for (std::size_t i = 0; i < optional.size(); ++i)
            out += (i == 0 ? "            " : " | ") + optional[i];
        out += ") prev= ;;\n        esac\n    fi\n";
    }
    out += "    case $prev in\n";
    for (std::size_t arm = 0; arm < arms.size(); ++arm) {
        out += "        ";
        for (std::size_t i = 0; i < armNames[arm].size(); ++i)
            out += (i == 0 ? "" : " | ") + armNames[arm][i];
        out += ") " + arms[arm] + " ;;\n";
    }
    out +=
        "        *)\n            if [[ $cur == -* ]]; then\n"
        "                _tarvio_render_offer " +
        quoted(names) +
        "\n"
        "                return 0\n            fi\n            ;;\n    esac\n"
        "    _tarvio_render_files\n}\ncomplete -F _tarvio_render tarvio-render\n";
    return out;
}

// Writes `text` to `path` through a file beside it, so that a failed run
// leaves no half-written page for the build to take as done.
void writeFile(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".part";
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw std::runtime_error(path + ": cannot be written");
    }
}

}  // namespace
}  // namespace tarvio::render

int main(int argc, char** argv) {
    using namespace tarvio::render;
    const std::string what = argc > 1 ? argv[1] : "";
    try {
        if (what == "manual" && argc == 4) {
            std::ifstream page(argv[2]);
            if (!page)
                throw std::runtime_error(std::string(argv[2]) + ": cannot be read");
            writeFile(argv[3], manualPage(page));
        } else if (what == "completion" && argc == 3) {
            writeFile(argv[2], completion());
        } else {
            std::cerr << "usage: tarvio-render-docs manual TEMPLATE OUTPUT\n"
                         "       tarvio-render-docs completion OUTPUT\n";
            return 2;
        }
    } catch (const std::exception& e) {
        std::cerr << "tarvio-render-docs: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
