#pragma once
// The texts the tool prints, as ISO-8859-1 bytes, and printing them.

#include <initializer_list>
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

// Writes `text` with each "%s" replaced by the next of `names`, in one piece.
// The text leaves in the console's encoding, the names as they were given.
void print(platform::Stream stream, const char* text, std::initializer_list<std::string_view> names = {});

// The standard error report: the name, ": ", the system's text for `error`
// and a line end, on standard error.
void print_error_report(std::string_view name, int error);
