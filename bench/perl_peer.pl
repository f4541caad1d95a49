#!/usr/bin/perl
# Rewrites INPUT into OUTPUT with the rules of RULES, as quorbel does, through
# one regex alternation of all keys sorted longest first. A peer for bench/.
#
#   perl perl_peer.pl RULES SEPARATOR INPUT OUTPUT
#
# The rule file is read as quorbel reads it: lines end at CR or LF, a rule
# line splits at its first separator, keys are 1 to 200 bytes, other lines
# are skipped, and nothing after a NUL byte counts. Of repeated keys the first
# rule is kept.
use strict;
use warnings;
use IO::Handle;

@ARGV == 4 && length($ARGV[1]) == 1 or die "usage: perl_peer.pl RULES SEPARATOR INPUT OUTPUT\n";
my ($rules_path, $separator, $input_path, $output_path) = @ARGV;

sub slurp {
  my ($path) = @_;
  open(my $file, '<:raw', $path) or die "open($path): $!\n";
  local $/;
  my $content = <$file>;
  close($file);
  return defined $content ? $content : '';
}

my $rule_text = slurp($rules_path);
$rule_text =~ s/\0.*//s;
my %replacement;
for my $line (split /[\r\n]+/, $rule_text) {
  my $at = index($line, $separator);
  next if $at < 1 || $at > 200;
  my $key = substr($line, 0, $at);
  $replacement{$key} = substr($line, $at + 1) unless exists $replacement{$key};
}
# Longest first, so the first alternative that matches is the longest key.
my $alternation = join '|', map { quotemeta } sort { length($b) <=> length($a) || $a cmp $b } keys %replacement;
my $pattern = qr/($alternation)/;

my $text = slurp($input_path);
$text =~ s/$pattern/$replacement{$1}/ge;

open(my $output, '>:raw', $output_path) or die "open($output_path): $!\n";
print {$output} $text or die "write($output_path): $!\n";
# Synced like quorbel's output, so both pay for durability.
$output->flush && $output->sync or die "fsync($output_path): $!\n";
close($output) or die "close($output_path): $!\n";
