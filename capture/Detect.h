#pragma once
// Which template reads an exchange's lines: every template of a directory tried on them.
#include <string>
#include <vector>

struct TTemplateScore {
    std::string File, Comment;
    int Read = 0;     // lines read as calls with a real date-time
    int Counted = 0;  // non-blank lines the template does not mark as no calls
    int Found = 0;    // values found in the lines read, to tell apart templates that read alike
    double Share() const { return Counted ? static_cast<double>(Read) / Counted : 0.0; }
};

// The templates of dir that load, best first; the load problems of the others in problems.
std::vector<TTemplateScore> DetectTemplates(const std::string& dir,
                                            const std::vector<std::string>& lines,
                                            std::vector<std::string>* problems = nullptr);
