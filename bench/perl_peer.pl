#!/usr/bin/perl
# Rewrites INPUT into OUTPUT with the rules of RULES as quorbel does, through
# one alternation of all keys, longest first. A peer for bench/.
#
#   perl perl_peer.pl RULES SEPARATOR INPUT OUTPUT
#
# The rule file is read as quorbel reads it: lines end at CR or LF, a rule
# line splits at its first separator, keys are 1 to 200 bytes, other lines are
# skipped, nothing after a NUL counts. Of repeated keys the first is kept.
use strict;
use warnings;
use IO::Handle;

my ($rules, $separator, $input, $output) = @ARGV;
sub slurp { open(my $file, '<:raw', $_[0]) or die "open($_[0]): $!\n"; local $/; return <$file> // ''; }
my %replacement;
for my $line (split /[\r\n]+/, slurp($rules) =~ s/\0.*//sr) {
  my $at = index($line, $separator);
  $replacement{substr($line, 0, $at)} //= substr($line, $at + 1) if $at >= 1 && $at <= 200;
}
my $alternation = join '|', map { quotemeta } sort { length($b) <=> length($a) || $a cmp $b } keys %replacement;
my $text = slurp($input);
$text =~ s/($alternation)/$replacement{$1}/g;
open(my $file, '>:raw', $output) or die "open($output): $!\n";
# Synced like quorbel's output, so both pay for durability.
(print {$file} $text) && $file->flush && $file->sync && close($file) or die "write($output): $!\n";
