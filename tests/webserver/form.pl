#!/usr/bin/perl
# Submits a page's form the way a browser would, as far as the tests and the
# demo need: reads an HTML page (its first <form>, with every named <input>)
# or a WML deck (its first <go> with its <postfield>s, "$(name)" references
# filled from the deck's <input> defaults) on standard input and prints two
# lines: the form's action URL and the application/x-www-form-urlencoded
# body, fields in page order.
#
#   form.pl [--base URL] [--drop NAME] [NAME=VALUE ...] < page
#
# --base URL   prefixed to an action that begins with '/'
# --drop NAME  leaves out every field named NAME
# NAME=VALUE   replaces the value of field NAME (every one of that name), or
#              appends the field when the page has none; bytes are taken as
#              they are
#
# Character references (&amp; &lt; &gt; &quot; &#39; &#N; &#xH;) are
# resolved in attribute values; in WML "$$" then stands for '$'. Exit status 1 when the page
# holds no form.
use strict;
use warnings;

binmode STDIN;
binmode STDOUT;

my $base = '';
my @overrides;
my %drop;
while (@ARGV) {
  my $arg = shift @ARGV;
  if ($arg eq '--base') {
    $base = shift @ARGV // die "form.pl: --base needs a URL\n";
  } elsif ($arg eq '--drop') {
    $drop{shift @ARGV // die "form.pl: --drop needs a name\n"} = 1;
  } elsif ($arg =~ /\A([^=]+)=(.*)\z/s) {
    push @overrides, [$1, $2];
  } else {
    die "form.pl: expected NAME=VALUE, got '$arg'\n";
  }
}

my $page = do { local $/; <STDIN> } // '';

# Resolves the character references of an attribute value.
sub unescape {
  my ($text) = @_;
  my %named = (amp => '&', lt => '<', gt => '>', quot => '"', apos => "'");
  $text =~ s{&(?:#(\d+)|#[xX]([0-9A-Fa-f]+)|(\w+));}{
      defined $1 ? chr($1) : defined $2 ? chr(hex $2) : exists $named{$3} ? $named{$3} : "&$3;"}ge;
  # References above 255 are written as UTF-8 bytes.
  utf8::encode($text) if $text =~ /[^\x00-\xFF]/;
  return $text;
}

# WML variable substitution, after the references are resolved: "$$" is a
# dollar sign, "$(name)", "$(name:conv)" and "$name" the variable's value.
sub substitute {
  my ($text, $vars) = @_;
  $text =~ s{\$\$|\$\((\w+)(?::\w+)?\)|\$(\w+)}{
      defined $1 ? ($vars->{$1} // '') : defined $2 ? ($vars->{$2} // '') : '$'}ge;
  return $text;
}

sub attributes {
  my ($tag) = @_;
  my %attr;
  while ($tag =~ /([A-Za-z_:][-A-Za-z0-9_:.]*)\s*(?:=\s*(?:"([^"]*)"|'([^']*)'|([^\s"'>]+)))?/g) {
    my $value = $2 // $3 // $4 // '';
    $attr{lc $1} //= $value;
  }
  return \%attr;
}

my ($action, @fields);
if ($page =~ /<go\b([^>]*)>(.*?)<\/go>/is) {
  # WML: the deck's variables start from the <input> defaults.
  my ($go, $inside) = (attributes($1), $2);
  my %vars;
  while ($page =~ /<input\b([^>]*)>/gi) {
    my $a = attributes($1);
    $vars{$a->{name}} = substitute(unescape($a->{value} // ''), {}) if defined $a->{name};
  }
  $action = substitute(unescape($go->{href} // ''), \%vars);
  while ($inside =~ /<postfield\b([^>]*)>/gi) {
    my $a = attributes($1);
    next unless defined $a->{name};
    push @fields, [substitute(unescape($a->{name}), \%vars),
                   substitute(unescape($a->{value} // ''), \%vars)];
  }
} elsif ($page =~ /<form\b([^>]*)>(.*?)(?:<\/form>|\z)/is) {
  my ($form, $inside) = (attributes($1), $2);
  $action = unescape($form->{action} // '');
  while ($inside =~ /<input\b([^>]*)>/gi) {
    my $a = attributes($1);
    next unless defined $a->{name} && $a->{name} ne '';
    my $type = lc($a->{type} // 'text');
    next if $type eq 'submit' || $type eq 'reset' || $type eq 'button' || $type eq 'image';
    next if ($type eq 'checkbox' || $type eq 'radio') && !exists $a->{checked};
    push @fields, [unescape($a->{name}), unescape($a->{value} // '')];
  }
} else {
  print STDERR "form.pl: the page holds no form\n";
  exit 1;
}

for my $override (@overrides) {
  my ($name, $value) = @$override;
  my $found = 0;
  for my $field (@fields) {
    if ($field->[0] eq $name) {
      $field->[1] = $value;
      $found = 1;
    }
  }
  push @fields, [$name, $value] unless $found;
}

@fields = grep { !$drop{$_->[0]} } @fields;

sub encode {
  my ($text) = @_;
  $text =~ s/([^A-Za-z0-9_.~-])/sprintf('%%%02X', ord $1)/ge;
  return $text;
}

$action = $base . $action if $action =~ m{\A/};
print $action, "\n";
print join('&', map { encode($_->[0]) . '=' . encode($_->[1]) } @fields), "\n";
