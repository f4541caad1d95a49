# The rule file read as quorbel reads it, for the perl peers: lines end at CR
# or LF, a rule line splits at its first separator, keys are 1 to 200 bytes,
# other lines are skipped, nothing after a NUL counts. Of repeated keys the
# first is kept. load_rules sets %replacement and $re, one alternation of all
# keys, longest first.
use strict;
use warnings;

our (%replacement, $re);

sub load_rules {
  my ($rules, $separator) = @_;
  open(my $file, '<:raw', $rules) or die "open($rules): $!\n";
  my $text = do { local $/; <$file> } // '';
  for my $line (split /[\r\n]+/, $text =~ s/\0.*//sr) {
    my $at = index($line, $separator);
    $replacement{substr($line, 0, $at)} //= substr($line, $at + 1) if $at >= 1 && $at <= 200;
  }
  my $alternation = join '|', map { quotemeta } sort { length($b) <=> length($a) || $a cmp $b } keys %replacement;
  $re = qr/($alternation)/;
  return;
}

1;
