// What every client test shares: checks that count once each and a closing line, and a time
// limit on the whole run.
let passed = 0;
let failed = 0;

// A failure is reported and the run goes on.
export async function check(name, body) {
  try {
    await body();
    passed += 1;
    console.log(`ok - ${name}`);
  } catch (error) {
    failed += 1;
    console.log(`not ok - ${name}: ${error?.message ?? error}`);
  }
}

export function limitRun(milliseconds) {
  setTimeout(() => {
    console.log(`not ok - did not end within ${milliseconds / 1000} s`);
    process.exit(1);
  }, milliseconds).unref();
}

export function finish() {
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed > 0 ? 1 : 0);
}
