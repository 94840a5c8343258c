// One whole session against the server through the official MCP client SDK: the catalogue,
// a task's proposals, history and restoring finish, the error paths, progress reports, and the
// cancellation the SDK sends for a call it stopped waiting for.
// Usage: node session.test.mjs /abs/path/to/quarry_agent_task
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { ErrorCode, McpError } from '@modelcontextprotocol/sdk/types.js';

const SESSION_LIMIT_MS = 120_000;

let passed = 0;
let failed = 0;

function summary() {
  console.log(`${passed} passed, ${failed} failed`);
}

// Each check counts once; a failure is reported and the session goes on, so one fault
// does not hide the state of the others.
async function check(name, body) {
  try {
    await body();
    passed += 1;
    console.log(`ok - ${name}`);
  } catch (error) {
    failed += 1;
    console.log(`not ok - ${name}: ${error?.message ?? error}`);
  }
}

// A successful tool result is one text block holding a JSON text, with no isError member.
function toolJson(result) {
  assert.equal(result.isError, undefined, `unexpected tool error: ${JSON.stringify(result)}`);
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, 'text');
  return JSON.parse(result.content[0].text);
}

function toolErrorText(result) {
  assert.equal(result.isError, true, `expected a tool error: ${JSON.stringify(result)}`);
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, 'text');
  return result.content[0].text;
}

function assertAttempt(record, attempt, passedFlag) {
  assert.deepEqual(Object.keys(record).sort(), ['attempt', 'fingerprint', 'output', 'passed']);
  assert.equal(record.attempt, attempt);
  assert.match(record.fingerprint, /^[0-9a-f]{64}$/);
  assert.equal(typeof record.output, 'string');
  assert.equal(record.passed, passedFlag);
}

const taskIdSchema = { description: 'Task ID from task_start.', type: 'string' };

const expectedTools = [
  {
    name: 'task_start',
    description:
      'Start a verifier-gated agent task. Snapshots the listed files and returns a task_id.',
    inputSchema: {
      type: 'object',
      properties: {
        files: {
          description: 'File paths the task may modify.',
          items: { type: 'string' },
          type: 'array',
        },
        goal: { description: 'What the task should achieve.', type: 'string' },
        max_attempts: {
          default: 4,
          description: 'Maximum distinct proposals before the task refuses more.',
          type: 'integer',
        },
        verify_cmd: {
          description: 'Shell command run to verify each proposal; exit 0 means pass.',
          type: 'string',
        },
      },
      required: ['goal', 'verify_cmd'],
    },
  },
  {
    name: 'task_propose',
    description:
      'Propose an edit-set for a task. The edits are applied transactionally and the ' +
      'verifier runs; failures roll back byte-for-byte.',
    inputSchema: {
      type: 'object',
      properties: {
        edits: {
          description: 'Edits to apply atomically.',
          items: {
            properties: { content: { type: 'string' }, path: { type: 'string' } },
            required: ['path', 'content'],
            type: 'object',
          },
          type: 'array',
        },
        task_id: taskIdSchema,
      },
      required: ['task_id', 'edits'],
    },
  },
  {
    name: 'task_history',
    description: 'Return all recorded attempts for a task in order.',
    inputSchema: {
      type: 'object',
      properties: { task_id: taskIdSchema },
      required: ['task_id'],
    },
  },
  {
    name: 'task_finish',
    description:
      'Finish a task. commit=true keeps the last passing edits; commit=false restores the ' +
      'pre-task snapshot.',
    inputSchema: {
      type: 'object',
      properties: {
        commit: {
          default: true,
          description: 'Keep edits (true) or restore snapshot (false).',
          type: 'boolean',
        },
        task_id: taskIdSchema,
      },
      required: ['task_id'],
    },
  },
];

async function main() {
  const serverArg = process.argv[2];
  if (!serverArg) {
    console.error('usage: node session.test.mjs /abs/path/to/quarry_agent_task');
    process.exit(2);
  }
  const server = path.resolve(serverArg);
  const workDir = fs.mkdtempSync(path.join(os.tmpdir(), 'quarry-mcp-client-'));
  const inWork = (name) => path.join(workDir, name);

  // CRLF, multi-byte UTF-8, a tab and no final newline: a restore must bring back every byte.
  const original = Buffer.from('line one\r\n\u00fcn\u00efc\u00f8d\u00e9 \u2713\n\tno final newline');
  fs.writeFileSync(inWork('notes.txt'), original);

  const client = new Client({ name: 'quarry-mcp-client-test', version: '1.0.0' });
  const transport = new StdioClientTransport({ command: server, args: [], cwd: workDir });
  const call = (name, args, options) =>
    client.callTool({ name, arguments: args }, undefined, options);

  await check('connect and initialize through the SDK', async () => {
    await client.connect(transport);
    assert.ok(client.getServerCapabilities()?.tools, 'server does not announce tools');
  });

  let tools = [];
  await check('tools/list names the four tools in order', async () => {
    ({ tools } = await client.listTools());
    assert.deepEqual(
      tools.map((tool) => tool.name),
      ['task_start', 'task_propose', 'task_history', 'task_finish'],
    );
  });

  for (const expected of expectedTools) {
    await check(`${expected.name} description and input schema`, async () => {
      const tool = tools.find((candidate) => candidate.name === expected.name);
      assert.ok(tool, `${expected.name} missing`);
      assert.equal(tool.description, expected.description);
      assert.deepEqual(tool.inputSchema, expected.inputSchema);
    });
  }

  // The verifier prints the existing file, so each attempt's output shows what it judged.
  const verifyCmd =
    "cat notes.txt; grep -qx 'status: ok' notes.txt && test \"$(cat gen/new.txt)\" = made";
  let taskId;
  await check('task_start on one existing and one new file', async () => {
    const started = toolJson(
      await call('task_start', {
        goal: 'mark the notes ok and generate new.txt',
        verify_cmd: verifyCmd,
        files: ['notes.txt', 'gen/new.txt'],
      }),
    );
    assert.deepEqual(Object.keys(started), ['task_id']);
    assert.match(started.task_id, /^task-[0-9a-f]+-[0-9]+$/);
    taskId = started.task_id;
    assert.ok(fs.readFileSync(inWork('notes.txt')).equals(original), 'start changed a file');
    assert.ok(!fs.existsSync(inWork('gen/new.txt')), 'start created the new file');
  });

  let rejectedFingerprint;
  await check('a failing proposal is reported as failed', async () => {
    const outcome = toolJson(
      await call('task_propose', {
        task_id: taskId,
        edits: [
          { path: 'notes.txt', content: 'status: broken\n' },
          { path: 'gen/new.txt', content: 'wrong\n' },
        ],
      }),
    );
    assertAttempt(outcome, 1, false);
    assert.equal(outcome.output, 'status: broken\n');
    rejectedFingerprint = outcome.fingerprint;
  });

  await check('a failing proposal is rolled back byte for byte', async () => {
    assert.ok(rejectedFingerprint, 'no failing proposal was made');
    assert.ok(fs.readFileSync(inWork('notes.txt')).equals(original), 'notes.txt not restored');
    assert.ok(!fs.existsSync(inWork('gen/new.txt')), 'new file left behind');
  });

  let acceptedFingerprint;
  await check('a passing proposal is reported as passed', async () => {
    const outcome = toolJson(
      await call('task_propose', {
        task_id: taskId,
        edits: [
          { path: 'notes.txt', content: 'status: ok\n' },
          { path: 'gen/new.txt', content: 'made\n' },
        ],
      }),
    );
    assertAttempt(outcome, 2, true);
    assert.equal(outcome.output, 'status: ok\n');
    assert.notEqual(outcome.fingerprint, rejectedFingerprint);
    acceptedFingerprint = outcome.fingerprint;
  });

  await check('a passing proposal stays on disk', async () => {
    assert.ok(acceptedFingerprint, 'no passing proposal was made');
    assert.equal(fs.readFileSync(inWork('notes.txt'), 'utf8'), 'status: ok\n');
    assert.equal(fs.readFileSync(inWork('gen/new.txt'), 'utf8'), 'made\n');
  });

  await check('task_history holds both attempts in order', async () => {
    const { attempts } = toolJson(await call('task_history', { task_id: taskId }));
    assert.equal(attempts.length, 2);
    assertAttempt(attempts[0], 1, false);
    assertAttempt(attempts[1], 2, true);
    assert.deepEqual(
      attempts.map((record) => [record.fingerprint, record.output]),
      [
        [rejectedFingerprint, 'status: broken\n'],
        [acceptedFingerprint, 'status: ok\n'],
      ],
    );
  });

  await check('task_finish with commit false restores the start state', async () => {
    assert.deepEqual(toolJson(await call('task_finish', { task_id: taskId, commit: false })), {
      committed: false,
    });
    assert.ok(fs.readFileSync(inWork('notes.txt')).equals(original), 'notes.txt not restored');
    assert.ok(!fs.existsSync(inWork('gen/new.txt')), 'new file not deleted');
  });

  await check('a finished task is no longer known', async () => {
    const text = toolErrorText(await call('task_history', { task_id: taskId }));
    assert.equal(text, `unknown task_id: ${taskId}`);
  });

  await check('an unknown task id is a tool error', async () => {
    const text = toolErrorText(
      await call('task_propose', {
        task_id: 'task-0-999',
        edits: [{ path: 'notes.txt', content: 'x' }],
      }),
    );
    assert.equal(text, 'unknown task_id: task-0-999');
    assert.ok(fs.readFileSync(inWork('notes.txt')).equals(original), 'notes.txt touched');
  });

  await check('an unknown tool is a JSON-RPC error', async () => {
    await assert.rejects(call('nope', {}), (error) => {
      assert.ok(error instanceof McpError, `not an McpError: ${error}`);
      assert.equal(error.code, ErrorCode.InvalidParams);
      assert.match(error.message, /unknown tool: nope/);
      return true;
    });
  });

  // A verifier that outlasts the client's time-out: progress reports keep the call alive.
  let slowTaskId;
  await check('task_start with a slow verifier', async () => {
    ({ task_id: slowTaskId } = toolJson(
      await call('task_start', { goal: 'wait', verify_cmd: 'sleep 7', files: ['slow.txt'] }),
    ));
    assert.match(slowTaskId, /^task-[0-9a-f]+-[0-9]+$/);
  });

  const slowProposal = () => ({
    task_id: slowTaskId,
    edits: [{ path: 'slow.txt', content: 'slow\n' }],
  });
  await check('progress reports keep a slow call alive past its time-out', async () => {
    const reports = [];
    const outcome = toolJson(
      await call('task_propose', slowProposal(), {
        timeout: 3000,
        resetTimeoutOnProgress: true,
        onprogress: (progress) => reports.push(progress),
      }),
    );
    assertAttempt(outcome, 1, true);
    assert.ok(reports.length >= 2, `only ${reports.length} progress reports`);
    for (let i = 0; i < reports.length; i += 1) {
      assert.equal(typeof reports[i].progress, 'number');
      if (i > 0) assert.ok(reports[i].progress > reports[i - 1].progress, 'progress not rising');
      assert.equal(reports[i].message, `verifier running for ${reports[i].progress} s`);
    }
  });

  // The SDK cancels a call that times out: the verifier must stop and the edits go back at once,
  // not when the verifier would have ended, and the call leaves no attempt behind.
  await check('a timed-out call is cancelled: rolled back, verifier gone, no attempt', async () => {
    const before = Buffer.from('before the cancelled call\n');
    fs.writeFileSync(inWork('hang.txt'), before);
    const { task_id: hangTaskId } = toolJson(
      await call('task_start', {
        goal: 'hang',
        verify_cmd: 'echo $$ > verifier.pid; exec sleep 30',
        files: ['hang.txt'],
      }),
    );
    const edits = [{ path: 'hang.txt', content: 'unverified\n' }];
    await assert.rejects(
      call('task_propose', { task_id: hangTaskId, edits }, { timeout: 2000 }),
      (error) => {
        assert.ok(error instanceof McpError, `not an McpError: ${error}`);
        assert.equal(error.code, ErrorCode.RequestTimeout);
        return true;
      },
    );
    const cancelled = Date.now();
    const verifierGroup = -Number(fs.readFileSync(inWork('verifier.pid'), 'utf8'));
    const groupGone = () => {
      try {
        process.kill(verifierGroup, 0);
        return false;
      } catch {
        return true;
      }
    };
    while (!(fs.readFileSync(inWork('hang.txt')).equals(before) && groupGone())) {
      assert.ok(Date.now() - cancelled < 1000, 'not rolled back within a second of cancelling');
      await new Promise((resolve) => setTimeout(resolve, 20));
    }
    const asked = Date.now();
    assert.deepEqual(toolJson(await call('task_history', { task_id: hangTaskId })), {
      attempts: [],
    });
    assert.ok(Date.now() - asked < 1000, 'the next call waited for the cancelled one');
  });

  await check('the session closes', async () => {
    await client.close();
  });

  fs.rmSync(workDir, { recursive: true, force: true });
}

// A hung server must fail the run rather than stall it.
setTimeout(() => {
  failed += 1;
  console.log(`not ok - session did not end within ${SESSION_LIMIT_MS / 1000} s`);
  summary();
  process.exit(1);
}, SESSION_LIMIT_MS).unref();

await main();
summary();
process.exit(failed > 0 ? 1 : 0);
