#!/usr/bin/perl
# Gives a copy of a Windows program or DLL the next revision in its version resource (the
# fixed part's file and product versions), so that a package made of it is the next version.
use strict;
use warnings;

die "usage: next-version.pl FILE\n" unless @ARGV == 1;
open(my $io, '+<:raw', $ARGV[0]) or die "next-version.pl: $ARGV[0]: $!\n";
my $image = do { local $/; <$io> };
my $key = join('', map { "$_\0" } split //, "VS_VERSION_INFO") . "\0\0";
$image =~ /\Q$key\E(?:\0\0)?\xBD\x04\xEF\xFE/g
  or die "next-version.pl: $ARGV[0] has no version resource\n";
# After the signature: structure version, file version (MS, LS), product version (MS, LS).
my $fixed = pos($image) + 4;
my ($fileMS, $fileLS, $productMS, $productLS) = unpack('V4', substr($image, $fixed, 16));
seek($io, $fixed, 0);
print $io pack('V4', $fileMS, $fileLS + 1, $productMS, $productLS + 1);
close($io) or die "next-version.pl: $ARGV[0]: $!\n";
