#pragma once
// The texts the tool prints, as ISO-8859-1 bytes, and printing them.

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/process.h"

namespace text {
// Kept word for word as users have always seen it, though the example shows
// "|" rather than the build's separator and ENTER is waited for only in a
// console window of the tool's own.
constexpr const char kUsage[] =
    "\n"
    "Programa Quorbel, vers\xe3o de 24/02/2003\n"
    "\n"
    "Para corrigir textos digite:\n"
    "%s  Seguido dos nomes dos arquivos\n"
    "\n"
    "Arquivo de configura\xe7\xe3o: %s\n"
    "Cada linha desse arquivo cont\xe9m um texto\n"
    "que deve ser trocado, da seguinte formata:\n"
    "palavraantiga|palavranova\n"
    "As linhas que n\xe3o tiverem o s\xedmbolo | ser\xe3o ignoradas.\n"
    "\n"
    "Nota: O arquivo de configura\xe7\xe3o deve ter no m\xe1ximo 15000 K-bytes.\n"
    "      Na vers\xe3o anterior (11/11/2001) era 16 K-bytes.\n"
    "\n"
    "Pressione ENTER para continuar\n";
constexpr const char kCannotOpenRules[] = "N\xe3o consegui abrir arquivo ";
constexpr const char kRulesTooLarge[] = "Arquivo de configura\xe7\xe3o muito grande\n";
constexpr const char kCannotReadRules[] = "Erro lendo arquivo de configura\xe7\xe3o\n";
constexpr const char kNoRules[] = "Nada para ser trocado, checar arquivo de configura\xe7\xe3o\n";
constexpr const char kNoMemory[] = "Mem\xf3ria insuficiente\n";
constexpr const char kNoMemoryForEntries[] = "Mem\xf3ria insuficiente";
constexpr const char kCannotOpen[] = "N\xe3o consegui abrir: %s\n";
constexpr const char kCannotCreate[] = "N\xe3o consegui criar: %s\n";
constexpr const char kAnalysing[] = "Analisando: %s\n";
constexpr const char kCannotRead[] = "N\xe3o consegui ler: %s\n";
constexpr const char kCannotWrite[] = "N\xe3o consegui gravar: %s\n";
constexpr const char kCannotMove[] = "N\xe3o consegui mudar: %s\n";
constexpr const char kWaiting[] = "Aguardando outra execu\xe7\xe3o: %s\n";
constexpr const char kRulesLeftOut[] = "Regras ignoradas (fora da codifica\xe7\xe3o do arquivo): %s\n";
constexpr const char kDone[] = "Feito\n";
}  // namespace text

// How the tool's texts leave: as ISO-8859-1 with CR LF line ends, as the
// redirected output of both systems compares byte for byte; as UTF-8 with
// bare line feeds where the locale names UTF-8, or names no character set
// and the stream is a terminal; as UTF-16 to a Windows console.
enum class Encoding { Latin1, Utf8, Utf16 };
Encoding encoding_for(platform::Sink sink, const std::string& codeset);

// `text` with each "%s" replaced by the next of `names`, in `encoding`
// (Latin1 or Utf8): the text converted, the names as the system gave them.
std::string rendered(Encoding encoding, const char* text, std::initializer_list<std::string_view> names);
// The same for a console: the names from UTF-8.
std::u16string rendered_for_console(const char* text, std::initializer_list<std::string_view> names);

// Redirected standard output is written in blocks of this size.
constexpr std::size_t kRedirectedBufferSize = 512;

// Sets the standard streams up once, after the process: standard error
// unbuffered, standard output unbuffered where someone reads it as it comes
// and in blocks of kRedirectedBufferSize where it is redirected.
void set_up_streams();

// Writes `text` with each "%s" replaced by the next of `names`, in one piece,
// so that an unbuffered stream still gets whole lines.
void print(platform::Stream stream, const char* text, std::initializer_list<std::string_view> names = {});

// The standard error report: the name, ": ", the system's text for `error`
// and a line end, on standard error.
void print_error_report(std::string_view name, int error);

// Whether the usage text waits for ENTER, as it says: only in a console
// window of the tool's own, as Windows opens one for a program started from
// Explorer, which closes with the process before anyone has read the text. A
// shell or a batch file (each another process on the console) or a
// redirected stream never waits.
bool waits_for_enter(const platform::ConsoleFacts& facts);

// Reads standard input up to a line end, or its end when the console goes.
void read_line();
