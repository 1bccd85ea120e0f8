// The manual page and the bash completion, written from the verb table at
// build time: what they say is what the program parses.
#include <cstring>
#include <set>
#include <string>

#include "cli.h"

namespace sorvane {

namespace {

// A line as troff takes it: backslashes escaped, no line starting a request.
std::string Troff(const std::string& line) {
  std::string out;
  for (char c : line) {
    if (c == '\\') out += "\\e";
    else if (c == '-') out += "\\-";
    else out += c;
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

// Each line of a text, troff-escaped.
void Lines(FILE* out, const char* text) {
  for (const char* line = text; *line != 0;) {
    const char* end = std::strchr(line, '\n');
    const std::string one(line, end != nullptr ? end : line + std::strlen(line));
    std::fprintf(out, "%s\n", Troff(one).c_str());
    line = end != nullptr ? end + 1 : line + one.size();
  }
}

}  // namespace

void PrintManPage(FILE* out) {
  std::fprintf(out,
               ".TH SORVANE 1 \"\" \"sorvane %s\" \"User Commands\"\n"
               ".SH NAME\nsorvane \\- create, inspect, extract and change game archives\n"
               ".SH SYNOPSIS\n",
               SORVANE_VERSION_STRING);
  for (const Verb& v : Verbs()) std::fprintf(out, ".br\n%s\n", Troff(v.usage).c_str());
  std::fprintf(out,
               ".SH DESCRIPTION\nA verb comes first; \\fBsorvane \\fIVERB\\fB \\-\\-help\\fR explains it.\n"
               "Every verb takes \\fB\\-v\\fR (\\fB\\-\\-verbose\\fR): say what is done; "
               "\\fB\\-q\\fR (\\fB\\-\\-quiet\\fR): errors only;\n"
               "\\fB\\-\\-wait \\fISECONDS\\fR: wait up to SECONDS for an archive another program is using.\n"
               ".SH VERBS\n");
  for (const Verb& v : Verbs()) {
    std::fprintf(out, ".TP\n.B %s\n%s.\n.nf\n", v.name, Troff(v.summary).c_str());
    Lines(out, v.details);
    std::fprintf(out, ".fi\n");
  }
  std::fprintf(out, ".SH EXIT STATUS\n");
  Lines(out, kExitStatusText);
  std::fprintf(out, ".SH SEE ALSO\n.BR tavrix (1)\n");
}

void PrintBashCompletion(FILE* out) {
  std::string verbs, cases;
  for (const Verb& v : Verbs()) {
    verbs += std::string(verbs.empty() ? "" : " ") + v.name;
    std::set<std::string> options = {"-v", "--verbose", "-q", "--quiet", "--wait", "-h", "--help"};
    for (const auto* list : {&v.valueOptions, &v.switchOptions}) {
      for (const std::string& o : *list) {
        options.insert((o.size() == 1 ? "-" : "--") + o);
        if (o == "j") options.insert("--jobs");
      }
    }
    std::string words;
    for (const std::string& o : options) words += (words.empty() ? "" : " ") + o;
    cases += "    " + std::string(v.name) + ") opts=\"" + words + "\" ;;\n";
  }
  std::fprintf(out,
               "# bash completion for sorvane, made by \"sorvane --bash-completion\"\n"
               "_sorvane() {\n"
               "  local cur=${COMP_WORDS[COMP_CWORD]} verb=${COMP_WORDS[1]} opts=\"\" archive=\"\" i\n"
               "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
               "    COMPREPLY=($(compgen -W \"%s --help --version\" -- \"$cur\"))\n"
               "    return\n"
               "  fi\n"
               "  case $verb in\n%s  esac\n"
               "  if [[ $cur == -* ]]; then\n"
               "    COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
               "    return\n"
               "  fi\n"
               "  # The archive is the first word after the verb that is no option.\n"
               "  for ((i = 2; i < COMP_CWORD; i++)); do\n"
               "    [[ ${COMP_WORDS[i]} != -* ]] && { archive=${COMP_WORDS[i]}; break; }\n"
               "  done\n"
               "  case $verb in\n"
               "    extract|delete|rename|verify|list)\n"
               "      if [ -n \"$archive\" ] && [ -f \"$archive\" ]; then\n"
               "        # Offered with '/', which the program reads as '\\' and the shell\n"
               "        # leaves alone.\n"
               "        # Matched here: compgen -W would expand each name as shell words,\n"
               "        # and a stored name is the archive's text, never a command.\n"
               "        local name\n"
               "        COMPREPLY=()\n"
               "        while IFS= read -r name; do\n"
               "          [[ $name == \"$cur\"* ]] && COMPREPLY+=(\"$name\")\n"
               "        done < <(sorvane list -1 \"$archive\" 2>/dev/null | tr '\\\\' / | sort -u)\n"
               "        return\n"
               "      fi ;;\n"
               "  esac\n"
               "  COMPREPLY=($(compgen -f -- \"$cur\"))\n"
               "}\n"
               "complete -o filenames -F _sorvane sorvane\n",
               verbs.c_str(), cases.c_str());
}

}  // namespace sorvane
