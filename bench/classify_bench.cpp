// Classification of a receive's messages against large rule tables: the walk (a
// substring search per rule), the compiled matchers (RuleMatcher), and, when the
// library is installed, Vectorscan in literal mode, the multi-pattern engine that was
// considered for the matchers.
//
//   classify_bench [MESSAGES] [RULES...]      (default: 2000; 10 100 1000 10000 100000)
//
// For each RULES (rules in each of the three tables) and each engine, a child process
// of its own builds the rules and classifies every message, so that the peak resident
// memory (ru_maxrss) is that engine's; the engines must give the same marks. Reported:
// the build (compiling the lists; nothing for the walk), the classification of all
// messages, their sum, the peak RSS, and the messages marked. Each engine reports the
// best of three rounds, except the walk and Vectorscan above 10,000 rules: one round.
//
// Then, for single lists of a few to a few hundred rules against the same messages'
// senders, recipients and subjects: the walk against building a matcher and searching
// with it, which decides the size from which a list gets a matcher.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "benchsupport.h"
#include "classifier.h"
#include "lowercase.h"
#include "rulematcher.h"

#ifdef POSTSIFT_BENCH_VECTORSCAN
#include <hs/hs.h>
#endif

namespace {

// ---------------------------------------------------------------------------------------
// Messages and rules

const char* const givenNames[] = {"anna", "peter", "maria", "john", "li.wei", "olga", "jürgen", "sofia", "mehmet",
                                  "yuki", "carlos", "fatima", "lars", "priya", "noah", "élodie", "ivan", "amara"};
const char* const familyNames[] = {"schmidt", "müller", "garcia", "smith", "wang", "ivanova", "rossi", "kowalski",
                                   "nguyen", "tanaka", "silva", "haddad", "berg", "patel", "dubois", "okafor"};
const char* const providers[] = {"gmail.com", "yahoo.com", "hotmail.com", "outlook.com", "gmx.de",
                                 "web.de",    "mail.ru",   "163.com",     "qq.com",      "aol.com"};
const char* const syllables[] = {"tech", "soft", "data", "nova", "blue", "star", "net",  "mark", "shop", "media",
                                 "green", "home", "city", "north", "smart", "cloud", "prime", "bright"};
const char* const tlds[] = {"com", "de", "net", "org", "co.uk", "fr", "io", "ru"};
const char* const subjects[] = {
    "Re: project update",           "Fwd: meeting notes for Friday", "Your invoice",
    "Newsletter nº %d – weekly digest", "Order confirmation",        "Überraschung zum Geburtstag",
    "Rechnung für Ihre Bestellung", "Встреча в понедельник",         "会议纪要",
    "Lunch next week?",             "Password reset request",        "Photos from the trip"};
// Words of the block lists: none of them occurs in the messages' usual text.
const char* const spamSyllables[] = {"zor", "qua", "vex", "blim", "trak", "fiz", "gorp", "yuk", "plon", "drax",
                                     "kwi", "mub", "snee", "oxa", "jib",  "wub", "rask", "pelt"};
const char* const spamWords[] = {"replica", "casino", "bonus", "crypto", "pills", "winner", "lottery", "loan",
                                 "discount", "gratis", "kostenlos", "免费", "выигрыш", "jackpot", "rolex", "miracle"};

class Generator {
 public:
  explicit Generator(uint64_t seed) : random(seed) {}
  template <std::size_t N>
  const char* pick(const char* const (&list)[N]) {
    return list[below(N)];
  }
  std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random); }
  std::string number(std::size_t bound) { return std::to_string(below(bound)); }
  std::string companyDomain() { return std::string(pick(syllables)) + pick(syllables) + "." + pick(tlds); }
  std::string spamDomain() {
    return std::string(pick(spamSyllables)) + pick(spamSyllables) + pick(spamSyllables) + number(1000) + "." +
           pick(tlds);
  }
  // A sender of everyday mail: a person at a provider or a company, or a company's robot.
  std::string sender() {
    switch (below(4)) {
      case 0: return std::string(pick(givenNames)) + "." + pick(familyNames) + "@" + pick(providers);
      case 1: return std::string(pick(givenNames)) + number(100) + "@" + pick(providers);
      case 2: return std::string(pick(givenNames)) + "@" + companyDomain();
      default: return std::string(below(2) == 0 ? "newsletter@news." : "noreply@") + companyDomain();
    }
  }
  // A block-list entry: an address or a domain that no everyday sender has.
  std::string blockedSender() {
    switch (below(3)) {
      case 0: return spamDomain();
      case 1: return "@" + spamDomain();
      default: return std::string(pick(spamSyllables)) + pick(spamSyllables) + number(100000) + "@" + pick(providers);
    }
  }
  std::string spamPhrase() {
    std::string phrase = pick(spamWords);
    for (std::size_t i = 0, n = 1 + below(2); i < n; i++) phrase += std::string(" ") + pick(spamSyllables);
    return phrase + " " + number(10000);
  }
  std::string subject() {
    char text[256];
    std::snprintf(text, sizeof text, pick(subjects), int(below(100)));
    return below(3) == 0 ? std::string(text) + " " + number(100000) : std::string(text);
  }

 private:
  std::mt19937_64 random;
};

struct Workload {
  std::vector<MessageFields> messages;
  RuleBook rules;
};

// `count` messages of everyday shape, and `rules` rules in each table. From: a tenth
// keep (friends), the rest remove (block lists); To: the user's address kept, the rest
// remove (lists the user was put on); Subject: a tenth keep, the rest remove (spam
// phrases). Nearly every rule matches nothing; one message in fifty is from a friend,
// one from a blocked domain, one has a blocked phrase, one a kept subject tag, one is
// for another address and one went through a blocked list, each matched by a rule of
// its own as far as a fifth of the list allows.
// The matching rules lie at random places in their lists.
Workload makeWorkload(int count, int rules) {
  Generator generate(20261211);
  Workload work;
  std::vector<std::string> friends, blocked, phrases, lists, tags;
  for (int i = 0; i < count; i++) {
    MessageFields message{generate.sender(), "Me <me@home.example>", generate.subject()};
    if (generate.below(3) == 0) message.to += ", Team <team@" + generate.companyDomain() + ">";
    if (generate.below(4) == 0) message.to += ", " + generate.sender();
    switch (i % 50) {
      case 7: {
        const std::string domain = generate.spamDomain();
        message.from = "sales@" + domain;
        blocked.push_back(domain);
        break;
      }
      case 19: {
        const std::string phrase = generate.spamPhrase();
        message.subject = "RE: " + phrase + "!!!";
        phrases.push_back(phrase);
        break;
      }
      case 23: friends.push_back(message.from); break;
      case 31: message.to = "undisclosed-recipients:;"; break;
      case 37: {
        const std::string list = "offers" + generate.number(1000000) + "@lists." + generate.spamDomain();
        message.to += ", " + list;
        lists.push_back(list);
        break;
      }
      case 41: {
        const std::string tag = "[" + generate.companyDomain() + "]";
        message.subject = tag + " " + message.subject;
        tags.push_back(tag);
        break;
      }
      default: break;
    }
    work.messages.push_back(message);
  }

  const auto fill = [&](std::vector<std::string>& list, std::size_t size, std::vector<std::string>& matching,
                        const std::function<std::string()>& filler) {
    matching.resize(std::min(matching.size(), size / 5));
    std::vector<std::string> texts = matching;
    while (texts.size() < size) texts.push_back(filler());
    std::shuffle(texts.begin(), texts.end(), std::mt19937_64(size));
    // Copied in their final order, as loadRuleBook reads them: the walk runs through
    // memory in order, not at the random places the shuffle left the texts.
    list.assign(texts.begin(), texts.end());
  };
  const std::size_t tenth = std::max(1, rules / 10);
  fill(work.rules.from.keep, tenth, friends, [&] {
    return std::string(generate.pick(givenNames)) + "." + generate.pick(familyNames) + generate.number(1000) + "@" +
           generate.pick(providers);
  });
  fill(work.rules.from.remove, rules - tenth, blocked, [&] { return generate.blockedSender(); });
  work.rules.to.keep = {"me@home.example"};
  fill(work.rules.to.remove, rules - 1, lists,
       [&] { return "offers" + generate.number(1000000) + "@lists." + generate.spamDomain(); });
  fill(work.rules.subject.keep, tenth, tags, [&] { return "[" + generate.spamDomain() + "]"; });
  fill(work.rules.subject.remove, rules - tenth, phrases, [&] { return generate.spamPhrase(); });
  return work;
}

// ---------------------------------------------------------------------------------------
// Vectorscan, for comparison

#ifdef POSTSIFT_BENCH_VECTORSCAN
// One rule list compiled by Vectorscan in literal mode: block mode, one id per text
// (a shared id makes the compiler far slower), each reported at most once, the scan
// ended by the first match. Empty texts are left out: the literal compiler refuses them.
class VectorscanList {
 public:
  explicit VectorscanList(const std::vector<std::string>& texts) {
    std::vector<const char*> expressions;
    std::vector<std::size_t> lengths;
    std::vector<unsigned> flags, ids;
    for (const std::string& text : texts) {
      if (text.empty()) continue;
      expressions.push_back(text.data());
      lengths.push_back(text.size());
      flags.push_back(HS_FLAG_SINGLEMATCH);
      ids.push_back(unsigned(ids.size()));
    }
    if (expressions.empty()) return;
    hs_compile_error_t* error = nullptr;
    if (hs_compile_lit_multi(expressions.data(), flags.data(), ids.data(), lengths.data(), unsigned(expressions.size()),
                             HS_MODE_BLOCK, nullptr, &database, &error) != HS_SUCCESS) {
      std::fprintf(stderr, "Vectorscan: %s\n", error->message);
      std::exit(1);
    }
    if (hs_alloc_scratch(database, &scratch) != HS_SUCCESS) std::exit(1);
  }
  ~VectorscanList() {
    hs_free_scratch(scratch);
    hs_free_database(database);
  }
  VectorscanList(const VectorscanList&) = delete;
  VectorscanList& operator=(const VectorscanList&) = delete;

  bool matchesAny(const std::string& field) const {
    if (database == nullptr || field.empty()) return false;
    const auto stop = [](unsigned, unsigned long long, unsigned long long, unsigned, void*) { return 1; };
    return hs_scan(database, field.data(), unsigned(field.size()), 0, scratch, stop, nullptr) == HS_SCAN_TERMINATED;
  }

 private:
  hs_database_t* database = nullptr;
  hs_scratch_t* scratch = nullptr;
};

// The classifier's steps with a Vectorscan search for every list.
struct VectorscanBook {
  explicit VectorscanBook(const RuleBook& rules)
      : rules(rules), fromKeep(rules.from.keep), fromRemove(rules.from.remove), toKeep(rules.to.keep),
        toRemove(rules.to.remove), subjectKeep(rules.subject.keep), subjectRemove(rules.subject.remove) {}

  Mark classify(const MessageFields& fields) const {
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    if (std::all_of(fields.from.begin(), fields.from.end(), blank)) return Mark::from;
    const std::string from = lowerText(fields.from);
    const std::string to = lowerText(fields.to);
    const std::string subject = lowerText(fields.subject);
    if (!rules.to.keep.empty() && !toKeep.matchesAny(to)) return Mark::to;
    if (subjectKeep.matchesAny(subject)) return Mark::none;
    if (fromKeep.matchesAny(from)) return Mark::none;
    if (toRemove.matchesAny(to)) return Mark::to;
    if (subjectRemove.matchesAny(subject)) return Mark::subject;
    if (fromRemove.matchesAny(from)) return Mark::from;
    return Mark::none;
  }

  const RuleBook& rules;
  VectorscanList fromKeep, fromRemove, toKeep, toRemove, subjectKeep, subjectRemove;
};
constexpr bool haveVectorscan = true;
#else
constexpr bool haveVectorscan = false;
#endif

// ---------------------------------------------------------------------------------------
// One engine in a child process

enum Engine { walk, matcher, shipped, vectorscan, engineCount };
const char* const engineNames[] = {"walk", "matchers", "as shipped", "Vectorscan"};

struct Result {
  double build = 0;
  double classify = 0;
  double peakMiB = 0;
  int marked = 0;
  uint64_t marks = 0;  // a fingerprint of every message's mark
};

template <class Classify>
void classifyAll(const Workload& work, Result& result, Classify classify) {
  result.marked = 0;
  result.marks = 0;
  for (const MessageFields& message : work.messages) {
    const Mark mark = classify(message);
    result.marked += mark != Mark::none;
    result.marks = result.marks * 31 + uint64_t(mark);
  }
}

Result runEngine(Engine engine, int messages, int rules) {
  Workload work = makeWorkload(messages, rules);
  const bool slow = (engine == walk || engine == vectorscan) && rules > 10000;
  const int rounds = slow ? 1 : 3;
  Result best;
  for (int round = 0; round < rounds; round++) {
    Result result;
    if (engine == vectorscan) {
#ifdef POSTSIFT_BENCH_VECTORSCAN
      double start = nowSeconds();
      const VectorscanBook book(work.rules);
      result.build = nowSeconds() - start;
      start = nowSeconds();
      classifyAll(work, result, [&](const MessageFields& message) { return book.classify(message); });
      result.classify = nowSeconds() - start;
#endif
    } else {
      RuleBook& book = work.rules;
      book.prepared = nullptr;
      double start = nowSeconds();
      if (engine == matcher) book.prepare(1);
      if (engine == shipped) book.prepare();
      result.build = nowSeconds() - start;
      start = nowSeconds();
      classifyAll(work, result, [&](const MessageFields& message) { return classifyMessage(book, message); });
      result.classify = nowSeconds() - start;
    }
    if (round == 0 || result.build + result.classify < best.build + best.classify) best = result;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  best.peakMiB = usage.ru_maxrss / 1024.0;
  return best;
}

Result inChild(Engine engine, int messages, int rules) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) std::exit(1);
  const pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    const Result result = runEngine(engine, messages, rules);
    const bool written = write(pipeEnds[1], &result, sizeof result) == ssize_t(sizeof result);
    _exit(written ? 0 : 1);
  }
  close(pipeEnds[1]);
  Result result;
  const bool read = ::read(pipeEnds[0], &result, sizeof result) == ssize_t(sizeof result);
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!read || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s with %d rules failed\n", engineNames[engine], rules);
    std::exit(1);
  }
  return result;
}

std::string seconds(double value) {
  char text[32];
  if (value >= 1) {
    std::snprintf(text, sizeof text, "%.2f s", value);
  } else if (value >= 1e-3) {
    std::snprintf(text, sizeof text, "%.1f ms", value * 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.0f µs", value * 1e6);
  }
  return text;
}

// ---------------------------------------------------------------------------------------
// Single lists: where a matcher starts to pay

template <class Run>
double bestOf(int rounds, Run run) {
  double best = 1e300;
  for (int i = 0; i < rounds; i++) {
    const double start = nowSeconds();
    run();
    best = std::min(best, nowSeconds() - start);
  }
  return best;
}

void compareSingleLists(const Workload& work) {
  std::vector<std::string> senders, recipients, subjects;
  for (const MessageFields& message : work.messages) {
    senders.push_back(lowerText(message.from));
    recipients.push_back(lowerText(message.to));
    subjects.push_back(lowerText(message.subject));
  }
  struct Kind {
    const char* name;
    const std::vector<std::string>* fields;
    const std::vector<std::string>* rules;
  };
  const Kind kinds[] = {{"senders", &senders, &work.rules.from.remove},
                        {"recipients", &recipients, &work.rules.to.remove},
                        {"subjects", &subjects, &work.rules.subject.remove}};
  std::printf("\nOne list against the %zu messages' lower-cased fields (best of 7; matcher: build + search):\n\n",
              work.messages.size());
  std::printf("| rules in the list |");
  for (const Kind& kind : kinds) std::printf(" %s: walk | %s: matcher |", kind.name, kind.name);
  if (haveVectorscan) std::printf(" subjects: Vectorscan |");
  std::printf("\n|---:|");
  for (std::size_t i = 0; i < std::size(kinds); i++) std::printf("---:|---:|");
  if (haveVectorscan) std::printf("---:|");
  std::printf("\n");
  for (std::size_t size : {4, 8, 12, 16, 20, 24, 32, 48, 64, 128, 256}) {
    std::printf("| %zu |", size);
    for (const Kind& kind : kinds) {
      const std::vector<std::string> rules(kind.rules->begin(), kind.rules->begin() + long(size));
      int found = 0;
      const double walked = bestOf(7, [&] {
        for (const std::string& field : *kind.fields) {
          found += std::any_of(rules.begin(), rules.end(),
                               [&](const std::string& rule) { return ruleMatches(field, rule); });
        }
      });
      int compiledFound = 0;
      const double compiled = bestOf(7, [&] {
        const RuleMatcher list(rules);
        for (const std::string& field : *kind.fields) compiledFound += list.matchesAny(field);
      });
      if (found != compiledFound) {
        std::fprintf(stderr, "%s, %zu rules: the walk found %d, the matcher %d\n", kind.name, size, found,
                     compiledFound);
        std::exit(1);
      }
      std::printf(" %s | %s |", seconds(walked).c_str(), seconds(compiled).c_str());
    }
#ifdef POSTSIFT_BENCH_VECTORSCAN
    const std::vector<std::string>& all = work.rules.subject.remove;
    const std::vector<std::string> rules(all.begin(), all.begin() + long(size));
    const double scanned = bestOf(7, [&] {
      const VectorscanList list(rules);
      for (const std::string& field : subjects) list.matchesAny(field);
    });
    std::printf(" %s |", seconds(scanned).c_str());
#endif
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int messages = argc > 1 ? std::atoi(argv[1]) : 2000;
  std::vector<int> sizes;
  for (int i = 2; i < argc; i++) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {10, 100, 1000, 10000, 100000};

  std::printf("classification of %d messages; rules in each of the three tables\n\n", messages);
  std::printf("| rules per table | engine | build | classify | build + classify | peak RSS | marked |\n");
  std::printf("|---:|---|---:|---:|---:|---:|---:|\n");
  for (int rules : sizes) {
    Result results[engineCount];
    for (int engine = 0; engine < engineCount; engine++) {
      if (engine == vectorscan && !haveVectorscan) continue;
      results[engine] = inChild(Engine(engine), messages, rules);
      const Result& result = results[engine];
      if (result.marks != results[walk].marks) {
        std::fprintf(stderr, "%s marks differently from the walk with %d rules\n", engineNames[engine], rules);
        return 1;
      }
      std::printf("| %d | %s | %s | %s | %s | %.1f MiB | %d |\n", rules, engineNames[engine],
                  engine == walk ? "–" : seconds(result.build).c_str(), seconds(result.classify).c_str(),
                  seconds(result.build + result.classify).c_str(), result.peakMiB, result.marked);
      std::fflush(stdout);
    }
  }

  compareSingleLists(makeWorkload(messages, 256 * 5));
  return 0;
}
