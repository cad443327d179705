#include "Kv.Selection.h"

#include "Kv.Shell.Words.h"

namespace kv {

namespace {

std::string_view Trim(std::string_view AText) {
    while (!AText.empty() && uint8_t(AText.front()) <= ' ')
        AText.remove_prefix(1);
    while (!AText.empty() && uint8_t(AText.back()) <= ' ')
        AText.remove_suffix(1);
    return AText;
}

std::vector<std::string_view> SplitLines(std::string_view AText) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (size_t i = 0; i < AText.size(); ++i) {
        if (AText[i] != '\r' && AText[i] != '\n')
            continue;
        lines.push_back(AText.substr(start, i - start));
        if (AText[i] == '\r' && i + 1 < AText.size() && AText[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    lines.push_back(AText.substr(start));
    return lines;
}

// Splits at blanks and tabs; AStarts receives each token's offset in the line.
std::vector<std::string_view> BlankTokens(std::string_view ALine, std::vector<size_t>& AStarts) {
    std::vector<std::string_view> tokens;
    size_t i = 0;
    while (i < ALine.size()) {
        while (i < ALine.size() && (ALine[i] == ' ' || ALine[i] == '\t'))
            ++i;
        if (i >= ALine.size())
            break;
        size_t start = i;
        while (i < ALine.size() && ALine[i] != ' ' && ALine[i] != '\t')
            ++i;
        tokens.push_back(ALine.substr(start, i - start));
        AStarts.push_back(start);
    }
    return tokens;
}

// Words as a POSIX shell would split them: quotes and backslashes make blanks literal.
std::vector<std::string> ShellWords(std::string_view ALine) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (size_t i = 0; i < ALine.size(); ++i) {
        char c = ALine[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                word += c;
        } else if (quote == '"') {
            if (c == '"')
                quote = 0;
            else if (c == '\\' && i + 1 < ALine.size())
                word += ALine[++i];
            else
                word += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (c == '\\' && i + 1 < ALine.size()) {
            word += ALine[++i];
            inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord)
                words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(std::move(word));
    return words;
}

} // namespace

std::vector<TKvLineNames> LineNames(std::string_view AText) {
    std::vector<TKvLineNames> result;
    TKvCleanName clean;
    for (std::string_view raw : SplitLines(AText)) {
        std::string_view line = Trim(raw);
        if (line.empty())
            continue;
        std::vector<size_t> starts;
        std::vector<std::string_view> tokens = BlankTokens(line, starts);
        int nameStart = NameStartIndex(tokens);
        TKvLineNames names;

        if (nameStart > 0) {
            // A long listing: the name column to the end, without a symbolic link's target.
            if (nameStart >= int(tokens.size()))
                continue;
            std::string_view name = line.substr(starts[size_t(nameStart)]);
            size_t arrow = name.find(" -> ");
            if (arrow != std::string_view::npos)
                name = name.substr(0, arrow);
            name = Trim(name);
            if (name.size() >= 2 && (name.front() == '"' || name.front() == '\'') &&
                name.back() == name.front())
                name = name.substr(1, name.size() - 2);
            names.Whole = CleanToken(name, clean) ? clean.Name : std::string(name);
            if (!names.Whole.empty())
                result.push_back(std::move(names));
            continue;
        }

        std::vector<std::string> words = ShellWords(line);
        for (const auto& word : words) {
            if (CleanToken(word, clean) &&
                std::find(names.Parts.begin(), names.Parts.end(), clean.Name) == names.Parts.end())
                names.Parts.push_back(clean.Name);
        }
        if (words.size() > 1 && CleanToken(line, clean))
            names.Whole = clean.Name;
        if (!names.Whole.empty() || !names.Parts.empty())
            result.push_back(std::move(names));
    }
    return result;
}

} // namespace kv
