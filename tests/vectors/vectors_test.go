// Runs the verifier printed in docs/merchant.md (copied beside this file by
// scripts/test.d/vectors.sh) on every signature test vector.
package shop

import (
	"os"
	"regexp"
	"strings"
	"testing"
)

func TestVectors(t *testing.T) {
	text, err := os.ReadFile(os.Getenv("VECTORS"))
	if err != nil {
		t.Fatal(err)
	}
	header := map[string]string{}
	var cases []map[string]string
	for _, line := range strings.Split(string(text), "\n") {
		field, value, found := strings.Cut(line, ": ")
		switch {
		case strings.HasPrefix(line, "#") || !found:
		case field == "case":
			cases = append(cases, map[string]string{"case": value})
		case len(cases) > 0:
			cases[len(cases)-1][field] = value
		default:
			header[field] = value
		}
	}
	trans := regexp.MustCompile(`^[0-9]{8}$`)
	for _, c := range cases {
		got := VerifyReturn(c["query"], header["retour"], header["key"])
		if (got != nil) != (c["verdict"] == "valid") || (got != nil && !trans.MatchString(got["Trans"])) {
			t.Errorf("%s: expected %s, got %v", c["case"], c["verdict"], got)
		}
	}
	if len(cases) == 0 {
		t.Fatal("no vectors")
	}
	t.Logf("go: %d vectors", len(cases))
}
