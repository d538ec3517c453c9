#pragma once
// The message to send and the encoders for its attached files.
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

enum UUMethods { uuMime, uuCode };

enum TSubType { mtPlain, mtEnriched, mtSgml, mtTabSeperated, mtHtml };

// Lines of one text split at CR LF, CR or LF; the text ends at its first NUL and a break at
// the very end adds no empty line.
std::vector<std::string> TextToLines(std::string_view text);

// Sets "Name: value" in a header list: replaces the line of that name (case-insensitive),
// appends one, or with an empty value removes it.
void SetHeader(std::vector<std::string>& header, const std::string& name, const std::string& value);

// The line as it goes after DATA: CR LF added, and one more "." in front of a leading dot.
std::string DotStuffedLine(const std::string& line);

// Encodes its input stream into lines of its output stream, 45 input bytes a line.
class TMailEncoder {
public:
    std::istream* InputStream = nullptr;
    std::ostream* OutputStream = nullptr;
    UUMethods Method = uuMime;
    std::function<void()> OnBeginEncode;
    std::function<void()> OnEndEncode;

    void Encode();
};

// Standard base64 of the bytes in one piece, without line breaks.
std::string Base64(std::string_view data);

// Encodes a stream, or bytes held in memory, the way the processor does.
std::string EncodeStream(std::istream& in, UUMethods method);
std::string EncodeBytes(std::string_view data, UUMethods method);

class TMailMessage {
public:
    std::string FromAddress;
    std::string FromName;
    std::vector<std::string> ToAddress;
    std::vector<std::string> ToCarbonCopy;
    std::vector<std::string> ToBlindCarbonCopy;
    std::string Subject;
    std::vector<std::string> Body;
    std::vector<std::string> Attachments;
    std::string LocalProgram;
    std::string Date;
    std::string ReplyTo;
};
