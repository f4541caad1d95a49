#!/usr/bin/perl
# Rewrites INPUT into OUTPUT with the rules of RULES as quorbel does, through
# one alternation of all keys, longest first (perl_rules.pl). A peer for
# bench/.
#
#   perl perl_peer.pl RULES SEPARATOR INPUT OUTPUT
use strict;
use warnings;
use FindBin;
use IO::Handle;
require "$FindBin::Bin/perl_rules.pl";
our (%replacement, $re);

my ($rules, $separator, $input, $output) = @ARGV;
load_rules($rules, $separator);
open(my $in, '<:raw', $input) or die "open($input): $!\n";
my $text = do { local $/; <$in> } // '';
$text =~ s/$re/$replacement{$1}/g;
open(my $file, '>:raw', $output) or die "open($output): $!\n";
# Synced like quorbel's output, so both pay for durability.
(print {$file} $text) && $file->flush && $file->sync && close($file) or die "write($output): $!\n";
