//! Rewrites INPUT into OUTPUT with the rules of RULES, leftmost-longest and
//! without rescanning replacements, as quorbel does, using the aho-corasick
//! crate. A peer for bench/, not part of quorbel.
//!
//!   aho-corasick-peer RULES SEPARATOR INPUT OUTPUT
//!
//! The rule file is read as quorbel reads it: lines end at CR or LF, a rule
//! line splits at its first separator, keys are 1 to 200 bytes, other lines
//! are skipped, nothing after a NUL counts. Of repeated keys the first is kept.

use aho_corasick::{AhoCorasickBuilder, MatchKind};
use std::collections::HashSet;
use std::io::Write;

fn main() -> std::io::Result<()> {
    let args: Vec<String> = std::env::args().collect();
    assert!(args.len() == 5 && args[2].len() == 1, "usage: aho-corasick-peer RULES SEPARATOR INPUT OUTPUT");
    let rule_text = std::fs::read(&args[1])?;
    let rule_text = rule_text.split(|&b| b == 0).next().unwrap_or_default();
    let (mut keys, mut replacements, mut seen) = (Vec::new(), Vec::new(), HashSet::new());
    for line in rule_text.split(|&b| b == b'\r' || b == b'\n') {
        match line.iter().position(|&b| b == args[2].as_bytes()[0]) {
            Some(at) if (1..=200).contains(&at) && seen.insert(&line[..at]) => {
                keys.push(&line[..at]);
                replacements.push(&line[at + 1..]);
            }
            _ => {}
        }
    }
    // The DFA, the crate's fastest searcher, wherever it fits in memory: a row of
    // byte classes per state and at most a state per key byte, so up to 2 MB of
    // keys it stays within some hundred MiB; the NFA beyond.
    let dfa = keys.iter().map(|key| key.len()).sum::<usize>() <= 2_000_000;
    let searcher = AhoCorasickBuilder::new().match_kind(MatchKind::LeftmostLongest).dfa(dfa).build(&keys);
    let input = std::fs::read(&args[3])?;
    let mut output = Vec::with_capacity(input.len() + input.len() / 8);
    searcher.replace_all_with_bytes(&input, &mut output, |found, _, out| {
        out.extend_from_slice(replacements[found.pattern()]);
        true
    });
    // Synced like quorbel's output, so both pay for durability.
    let mut file = std::fs::File::create(&args[4])?;
    file.write_all(&output)?;
    file.sync_all()
}
