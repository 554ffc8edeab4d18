// The aggregated test program gets its sources from every suite.
