#!/usr/bin/perl
# TEXT (UTF-8) as Perl's Encode writes it in a header, in UTF-8 words:
#
#   encode_header.pl b|q TEXT
#
# Folded lines are joined by a newline and a blank, as mail sits on disk.
use strict;
use warnings;
use Encode qw(decode encode);

my ($encoding, $text) = @ARGV;
my $value = encode($encoding eq 'b' ? 'MIME-Header' : 'MIME-Q', decode('UTF-8', $text));
$value =~ s/\r\n/\n/g;
print $value;
