#!/usr/bin/perl
# Prints the file version of a Windows program or DLL's version resource (the fixed part,
# VS_FIXEDFILEINFO) as major.minor.build.revision. Reads only the file: no Windows needed.
use strict;
use warnings;

die "usage: file-version.pl FILE\n" unless @ARGV == 1;
open(my $in, '<:raw', $ARGV[0]) or die "file-version.pl: $ARGV[0]: $!\n";
my $image = do { local $/; <$in> };

# The resource's key "VS_VERSION_INFO" (UTF-16), padded to 32 bits, then the fixed part.
my $key = join('', map { "$_\0" } split //, "VS_VERSION_INFO") . "\0\0";
$image =~ /\Q$key\E(?:\0\0)?\xBD\x04\xEF\xFE/g
  or die "file-version.pl: $ARGV[0] has no version resource\n";
my ($structVersion, $fileMS, $fileLS) = unpack('V3', substr($image, pos($image), 12));
printf "%d.%d.%d.%d\n", $fileMS >> 16, $fileMS & 0xFFFF, $fileLS >> 16, $fileLS & 0xFFFF;
