//! Rewrites INPUT into OUTPUT with the rules of RULES, leftmost-longest and
//! without rescanning replacements, as quorbel does, using the aho-corasick
//! crate. A peer for bench/, not part of quorbel.
//!
//!   aho-corasick-peer RULES SEPARATOR INPUT OUTPUT
//!
//! The rule file is read as quorbel reads it: lines end at CR or LF, a rule
//! line splits at its first separator, keys are 1 to 200 bytes, other lines
//! are skipped, and nothing after a NUL byte counts. Of repeated keys the
//! first rule is kept.

use aho_corasick::{AhoCorasickBuilder, MatchKind};
use std::collections::HashSet;
use std::fs::File;
use std::io::Write;
use std::process::exit;

const MAX_KEY_LENGTH: usize = 200;
// Below this many keys a DFA is small and faster than the NFA.
const DFA_MAX_KEYS: usize = 100;

fn fail(what: &str, path: &str, error: std::io::Error) -> ! {
    eprintln!("{}({}): {}", what, path, error);
    exit(1)
}

fn parse_rules(text: &[u8], separator: u8) -> (Vec<Vec<u8>>, Vec<Vec<u8>>) {
    let text = match text.iter().position(|&b| b == 0) {
        Some(end) => &text[..end],
        None => text,
    };
    let mut keys = Vec::new();
    let mut replacements = Vec::new();
    let mut seen = HashSet::new();
    for line in text.split(|&b| b == b'\r' || b == b'\n') {
        let at = match line.iter().position(|&b| b == separator) {
            Some(at) if at >= 1 && at <= MAX_KEY_LENGTH => at,
            _ => continue,
        };
        let key = &line[..at];
        if seen.insert(key) {
            keys.push(key.to_vec());
            replacements.push(line[at + 1..].to_vec());
        }
    }
    (keys, replacements)
}

fn main() {
    let args: Vec<String> = std::env::args().collect();
    if args.len() != 5 || args[2].len() != 1 {
        eprintln!("usage: aho-corasick-peer RULES SEPARATOR INPUT OUTPUT");
        exit(2);
    }
    let (rules_path, input_path, output_path) = (&args[1], &args[3], &args[4]);
    let rule_text = std::fs::read(rules_path).unwrap_or_else(|e| fail("read", rules_path, e));
    let (keys, replacements) = parse_rules(&rule_text, args[2].as_bytes()[0]);
    let searcher = AhoCorasickBuilder::new()
        .match_kind(MatchKind::LeftmostLongest)
        .dfa(keys.len() <= DFA_MAX_KEYS)
        .build(&keys);

    let input = std::fs::read(input_path).unwrap_or_else(|e| fail("read", input_path, e));
    let mut output = Vec::with_capacity(input.len() + input.len() / 8);
    searcher.replace_all_with_bytes(&input, &mut output, |found, _, out| {
        out.extend_from_slice(&replacements[found.pattern()]);
        true
    });
    // Synced like quorbel's output, so both pay for durability.
    let mut file = File::create(output_path).unwrap_or_else(|e| fail("create", output_path, e));
    file.write_all(&output).unwrap_or_else(|e| fail("write", output_path, e));
    file.sync_all().unwrap_or_else(|e| fail("fsync", output_path, e));
}
