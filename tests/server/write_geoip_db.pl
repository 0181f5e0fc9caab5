#!/usr/bin/env perl
# SPDX-License-Identifier: Apache-2.0
# Writes a small GeoIP City database (MaxMind DB format) for the server's tests:
#   write_geoip_db.pl OUT.mmdb NETWORK CITY COUNTRY [NETWORK CITY COUNTRY ...]
# places each network (an address or CIDR network, IPv4 or IPv6) in CITY (English name) and
# COUNTRY (ISO 3166-1 code); an empty CITY or COUNTRY leaves that member out, as a Country
# database has no city. Loopback and other reserved networks are kept: the tests run on 127/8.
use strict;
use warnings;

use Encode qw(decode);
use MaxMind::DB::Writer::Tree;

die "usage: $0 OUT.mmdb NETWORK CITY COUNTRY ...\n" if @ARGV < 4 || (@ARGV - 1) % 3;
my $out = shift @ARGV;
# The names come as UTF-8 bytes; the writer takes characters.
@ARGV = map { decode('UTF-8', $_, Encode::FB_CROAK) } @ARGV;

my %types = (
  city     => 'map',
  country  => 'map',
  names    => 'map',
  en       => 'utf8_string',
  iso_code => 'utf8_string',
);
my $tree = MaxMind::DB::Writer::Tree->new(
  ip_version               => 6,
  record_size              => 24,
  database_type            => 'Zelk-Test-City',
  languages                => ['en'],
  description              => {en => 'networks of the zelk-server tests'},
  map_key_type_callback    => sub { $types{$_[0]} },
  remove_reserved_networks => 0,
);
while (my ($network, $city, $country) = splice @ARGV, 0, 3) {
  $network .= $network =~ /:/ ? '/128' : '/32' unless $network =~ m{/};
  my %place;
  $place{city} = {names => {en => $city}} if length $city;
  $place{country} = {iso_code => $country} if length $country;
  $tree->insert_network($network, \%place);
}
open my $file, '>:raw', $out or die "cannot write $out: $!\n";
$tree->write_tree($file);
close $file or die "cannot write $out: $!\n";
